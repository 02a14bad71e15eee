"""The one door into the host (src/common/host.hpp): nothing else in the
agent names the host's modules, docs/host.md lists every call it makes, and
every call into a module of host/ names something the stand-in defines."""
import re
import shutil
import subprocess
import sys

from harness import REPO

HOST_MODULES = ("public", "rsa_aes", "panelTask", "sock_client", "ZQ_VEMO")
DOOR = {REPO / "src" / "common" / "host.hpp", REPO / "src" / "common" / "host.cpp"}
# A module imported by name, or one of public's helpers called by name.
LOOKUP = re.compile(r'import\("(%s)"\)|attr\("(readFile|writeFile|returnMsg|get_error_info|dict_obj|M)"\)'
                    % "|".join(HOST_MODULES))


def contract(root, *args):
    tool = str(REPO / "tools" / "host_contract.py")
    return subprocess.run([sys.executable, tool, "--root", str(root), *args],
                          capture_output=True, text=True, timeout=60)


def test_only_the_door_names_the_host():
    named = []
    for source in sorted((REPO / "src").rglob("*.[ch]pp")):
        if source in DOOR:
            continue
        for number, line in enumerate(source.read_text(encoding="utf-8").splitlines(), 1):
            if LOOKUP.search(line):
                named.append("%s:%d: %s" % (source.relative_to(REPO), number, line.strip()))
    assert named == []


def test_doc_is_current_and_drift_is_named(tmp_path):
    current = contract(REPO, "--check")
    assert current.returncode == 0, current.stderr

    for name in ("src/common/host.hpp", "docs/host.md", "host/public.py"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(REPO / name, tmp_path / name)
    header = tmp_path / "src/common/host.hpp"
    # A call the stand-in lacks, declared like every other.
    header.write_text(header.read_text(encoding="utf-8").replace(
        "    // host: public.GetClientIp |",
        "    // host: public.GetServerIp | threads: plugin code\n"
        "    py::object server_ip() const { return module_.attr(\"GetServerIp\")(); }\n"
        "    // host: public.GetClientIp |", 1), encoding="utf-8")

    stale = contract(tmp_path, "--check")
    assert stale.returncode == 1
    assert "public.GetServerIp: not defined in host/" in stale.stderr
    assert "docs/host.md is stale" in stale.stderr

    assert contract(tmp_path).returncode == 0
    row = [line for line in (tmp_path / "docs/host.md").read_text(encoding="utf-8").splitlines()
           if "GetServerIp" in line]
    assert row == ["| `public.GetServerIp` | plugin code | `Public::server_ip()` → `py::object` |  |"]
