"""A recording double of the panel's helper module: the real stand-in does
the work, and every call of the operations the file service must route
through it is appended to public.calls in the install directory."""
import json

DOUBLE = '''
import json
import public_real
from public_real import *  # noqa: F401,F403

def _plain(value):
    return value.decode("latin-1") if isinstance(value, bytes) else value

def _recorder(name):
    real = getattr(public_real, name)
    def call(*args):
        with open("public.calls", "a") as f:
            f.write(json.dumps([name, [_plain(a) for a in args]]) + "\\n")
        return real(*args)
    return call

for _name in ("set_mode", "set_own", "get_mode_and_user", "bytes_md5",
              "file_sha1"):
    globals()[_name] = _recorder(_name)
'''


def install(server_root):
    """Puts the double in place of class/public.py of `server_root`."""
    side = server_root / "vemo" / "client-side"
    (side / "class" / "public.py").rename(side / "class" / "public_real.py")
    (side / "class" / "public.py").write_text(DOUBLE)


def calls(agent, *names):
    """The recorded calls [name, args], only those of `names` when given."""
    log = agent.install_dir / "public.calls"
    if not log.exists():
        return []
    recorded = [json.loads(line) for line in log.read_text().splitlines()]
    return [c for c in recorded if not names or c[0] in names]


def forget(agent):
    """Starts a fresh record."""
    log = agent.install_dir / "public.calls"
    if log.exists():
        log.unlink()
