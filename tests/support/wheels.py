"""A pure-Python wheel built in place, for installs that never reach the
network."""
import zipfile


def build_wheel(folder, name, version, requires=()):
    dist = "%s-%s.dist-info" % (name, version)
    files = {
        name + ".py": "VERSION = %r\n" % version,
        dist + "/METADATA": "Metadata-Version: 2.1\nName: %s\nVersion: %s\n%s" % (
            name, version, "".join("Requires-Dist: %s\n" % r for r in requires)),
        dist + "/WHEEL": "Wheel-Version: 1.0\nGenerator: tests\nRoot-Is-Purelib: true\n"
                         "Tag: py3-none-any\n",
    }
    files[dist + "/RECORD"] = "".join("%s,,\n" % p for p in list(files) + [dist + "/RECORD"])
    with zipfile.ZipFile(str(folder / ("%s-%s-py3-none-any.whl" % (name, version))), "w") as z:
        for path, text in files.items():
            z.writestr(path, text)
