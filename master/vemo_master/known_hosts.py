"""Trust on first use: the certificate fingerprint each agent presented at
first contact, one "host:port fingerprint" line per agent.

Writers (threads of a fleet run, other masters) serialise on a lock file
and re-read under it, so no one's line is lost; the file itself is only
ever replaced whole, so readers need no lock.
"""
import contextlib
import fcntl
import os
import tempfile

from .errors import CertificateChanged


def default_path():
    """$XDG_CONFIG_HOME/vemo/known_hosts, or ~/.config/vemo/known_hosts."""
    base = os.environ.get("XDG_CONFIG_HOME", "")
    if not os.path.isabs(base):  # unset, empty or relative: ignored
        base = os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "vemo", "known_hosts")


def address(host, port):
    """The key of an agent: host:port, an IPv6 host in brackets."""
    host = host.lower()
    return "%s:%d" % ("[%s]" % host if ":" in host else host, port)


def _read_lines(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def _entry(line):
    words = line.split()
    if len(words) < 2 or words[0].startswith("#"):
        return None, None
    return words[0], words[1].lower()


def _recorded(lines, key):
    for line in lines:
        name, fingerprint = _entry(line)
        if name == key:
            return fingerprint
    return None


@contextlib.contextmanager
def _locked(path):
    os.makedirs(os.path.dirname(path) or ".", mode=0o700, exist_ok=True)
    fd = os.open(path + ".lock", os.O_RDWR | os.O_CREAT, 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def _replace(path, lines):
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path) or ".",
                               prefix=".known_hosts.")  # mode 0600
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write("".join(line + "\n" for line in lines))
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def record(path, host, port, fingerprint, replace=False):
    """Record `fingerprint` for host:port unless a line exists (or, with
    `replace`, in place of it). Returns what was recorded before, or None."""
    key = address(host, port)
    with _locked(path):
        lines = _read_lines(path)
        old = _recorded(lines, key)
        if old is None or (replace and old != fingerprint):
            kept = [line for line in lines if _entry(line)[0] != key]
            _replace(path, kept + ["%s %s" % (key, fingerprint)])
        return old


def check(path, host, port, actual):
    """Pass when host:port's recorded fingerprint is `actual`, recording it
    at first contact; CertificateChanged when another one is recorded."""
    recorded = _recorded(_read_lines(path), address(host, port))
    if recorded is None:
        # Another writer may have been first: record() re-reads.
        recorded = record(path, host, port, actual)
    if recorded is not None and recorded != actual:
        raise CertificateChanged(host, port, recorded, actual, path)
