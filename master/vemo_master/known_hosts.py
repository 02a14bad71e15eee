"""Trust on first use: the certificate fingerprint each agent presented at
first contact, in "host:port fingerprint" lines.

An agent is pinned under the numeric address it was reached at (127.1,
127.000.000.001 and localhost are all 127.0.0.1), so another spelling of
it is no first contact; reached by a name, under that name as well, as
earlier versions recorded it.

Writers (threads of a fleet run, other masters) serialise on a lock file
and re-read under it, so no one's line is lost; the file itself is only
ever replaced whole, so readers need no lock.
"""
import contextlib
import fcntl
import os
import socket
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


def numeric(host):
    """The canonical text of a numeric address (any form the resolver
    takes, such as 127.1), or None for a name."""
    for family in (socket.AF_INET, socket.AF_INET6):
        try:
            found = socket.getaddrinfo(host, None, family, socket.SOCK_STREAM,
                                       0, socket.AI_NUMERICHOST)
        except (socket.gaierror, UnicodeError, ValueError):
            continue
        return found[0][4][0]
    return None


def resolve(host):
    """The numeric addresses a name stands for (none when it does not
    resolve), for recording a pin without connecting."""
    try:
        found = socket.getaddrinfo(host, None, 0, socket.SOCK_STREAM)
    except (socket.gaierror, UnicodeError, ValueError):
        return []
    return list(dict.fromkeys(info[4][0] for info in found))


def _numeric_keys(host, port, peers):
    canonical = numeric(host)
    return [address(peer, port) for peer in peers or
            ([canonical] if canonical else [])]


def keys(host, port, peers=()):
    """The lines that pin an agent: those of the numeric addresses it was
    reached at (`peers`, else the host's own canonical form), and of the
    host as typed (a name, or a spelling an older file used)."""
    found = _numeric_keys(host, port, peers)
    typed = address(host, port)
    return found + [typed] if typed not in found else found


def _written_keys(host, port, peers):
    # A numeric host's own spelling is read, never written.
    found = _numeric_keys(host, port, peers)
    typed = address(host, port)
    if numeric(host) is None and typed not in found:
        found.append(typed)
    return found


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


def _recorded(lines, wanted):
    """{key: fingerprint} of the lines among `wanted` keys."""
    found = {}
    for line in lines:
        name, fingerprint = _entry(line)
        if name in wanted and name not in found:
            found[name] = fingerprint
    return found


def _previous(recorded, fingerprint):
    """A recorded fingerprint other than `fingerprint`, else any, else
    None."""
    values = list(recorded.values())
    return next((v for v in values if v != fingerprint),
                values[0] if values else None)


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


def record(path, host, port, fingerprint, replace=False, peers=()):
    """Record `fingerprint` for the agent (under keys()) where no line says
    otherwise; with `replace`, in place of its lines. Returns what was
    recorded before (one that differs when there is one), or None."""
    wanted = keys(host, port, peers)
    with _locked(path):
        lines = _read_lines(path)
        recorded = _recorded(lines, wanted)
        old = _previous(recorded, fingerprint)
        written = _written_keys(host, port, peers)
        if replace:
            kept = [line for line in lines if _entry(line)[0] not in wanted]
            new = written
        else:
            if old is not None and old != fingerprint:
                return old
            kept = lines
            new = [key for key in written if key not in recorded]
        if new or len(kept) != len(lines):
            _replace(path, kept + ["%s %s" % (key, fingerprint)
                                   for key in new])
        return old


def check(path, host, port, actual, peers=()):
    """Pass when every line pinning the agent (reached at `peers`) records
    `actual`, recording it where none does; CertificateChanged when one
    records another fingerprint. True at first contact: when no line
    pinned the agent before and this call recorded it."""
    wanted = keys(host, port, peers)
    recorded = _recorded(_read_lines(path), wanted)
    old = _previous(recorded, actual)
    if old in (None, actual) and any(
            key not in recorded for key in _written_keys(host, port, peers)):
        # Another writer may have been first: record() re-reads.
        old = record(path, host, port, actual, peers=peers)
    if old is not None and old != actual:
        raise CertificateChanged(host, port, old, actual, path)
    return old is None
