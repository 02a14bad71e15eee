"""`vemoctl trust FINGERPRINT`: accept an agent's new certificate in place
of the one recorded at first contact. Nothing is sent to the agent: the
next command checks that it presents this certificate. With --hosts, each
selected host's line is written, with FINGERPRINT or else the host's
fingerprint from the inventory."""
from .. import known_hosts
from .argtypes import sha256_hex
from .declare import Command, arg
from .output import FAILED, OK, UsageError, address


def check_trust(args):
    if not args.hosts and not args.host_given:
        raise UsageError("trust needs the agent's --host (and --port), or "
                         "--hosts FILE [--limit HOST]")
    if not args.hosts and args.new_fingerprint is None:
        raise UsageError("trust needs FINGERPRINT (with --hosts the "
                         "inventory's fingerprint is the default)")


def trust(args, target):
    """The result document of recording the fingerprint for `target`."""
    where = address(target.host, target.port)
    fingerprint = args.new_fingerprint or target.fingerprint
    path = known_hosts.default_path()
    document = {"command": "trust", "host": target.host, "port": target.port,
                "seconds": 0.0, "bytes": 0}
    if fingerprint is None:
        document.update(ok=False, status=FAILED, error="%s: no FINGERPRINT "
                        "given and none in the inventory" % where)
        return document
    try:
        old = known_hosts.record(path, target.host, target.port, fingerprint,
                                 replace=True,
                                 peers=known_hosts.resolve(target.host))
    except OSError as exc:
        document.update(ok=False, status=FAILED, error="%s: cannot record "
                        "the fingerprint in %s: %s"
                        % (where, path, exc.strerror or exc))
        return document
    text = "%s: fingerprint %s recorded in %s" % (where, fingerprint, path)
    if old is not None and old != fingerprint:
        text += " (replacing %s)" % old
    document.update(ok=True, status=OK, text=text, result={
        "fingerprint": fingerprint, "replaced": old, "known_hosts": path})
    return document


COMMAND = Command(
    "trust", "record the agent's new certificate fingerprint in the "
    "known-hosts file", trust,
    [arg("new_fingerprint", metavar="FINGERPRINT", type=sha256_hex,
         nargs="?", help="64 hex digits, colons allowed; with --hosts the "
                         "inventory's fingerprint by default")],
    '{"fingerprint", "replaced": the one recorded before or null, '
    '"known_hosts": the file}', check_trust, connects=False)
