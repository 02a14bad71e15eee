"""`vemoctl trust FINGERPRINT`: accept an agent's new certificate in place
of the one recorded at first contact. Nothing is sent to the agent: the
next command checks that it presents this certificate."""
from .. import known_hosts
from .argtypes import sha256_hex
from .declare import Command, arg
from .output import FAILED, OK, UsageError, address


def check_trust(args):
    if args.hosts:
        raise UsageError("trust records one agent (--host, --port), "
                         "not --hosts")


def trust(args):
    """The result document of recording args.new_fingerprint."""
    where = address(args.host, args.port)
    path = known_hosts.default_path()
    document = {"command": "trust", "host": args.host, "port": args.port,
                "seconds": 0.0, "bytes": 0}
    try:
        old = known_hosts.record(path, args.host, args.port,
                                 args.new_fingerprint, replace=True,
                                 peers=known_hosts.resolve(args.host))
    except OSError as exc:
        document.update(ok=False, status=FAILED, error="%s: cannot record "
                        "the fingerprint in %s: %s"
                        % (where, path, exc.strerror or exc))
        return document
    text = "%s: fingerprint %s recorded in %s" % (
        where, args.new_fingerprint, path)
    if old is not None and old != args.new_fingerprint:
        text += " (replacing %s)" % old
    document.update(ok=True, status=OK, text=text, result={
        "fingerprint": args.new_fingerprint, "replaced": old,
        "known_hosts": path})
    return document


COMMAND = Command(
    "trust", "record the agent's new certificate fingerprint in the "
    "known-hosts file", trust,
    [arg("new_fingerprint", metavar="FINGERPRINT", type=sha256_hex)],
    '{"fingerprint", "replaced": the one recorded before or null, '
    '"known_hosts": the file}', check_trust, connects=False)
