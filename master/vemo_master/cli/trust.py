"""`vemoctl trust FINGERPRINT`: accept an agent's new certificate in place
of the one recorded at first contact. Nothing is sent to the agent: the
next command checks that it presents this certificate."""
from .. import known_hosts
from .output import OK, UsageError, address, failed


def check_trust(args):
    if args.hosts:
        raise UsageError("trust records one agent (--host, --port), "
                         "not --hosts")


def trust(args):
    """The result document of recording args.new_fingerprint."""
    path = known_hosts.default_path()
    try:
        old = known_hosts.record(path, args.host, args.port,
                                 args.new_fingerprint, replace=True)
    except OSError as exc:
        raise failed("cannot record the fingerprint in %s: %s"
                     % (path, exc.strerror or exc))
    text = "%s: fingerprint %s recorded in %s" % (
        address(args.host, args.port), args.new_fingerprint, path)
    if old is not None and old != args.new_fingerprint:
        text += " (replacing %s)" % old
    return {"command": "trust", "host": args.host, "port": args.port,
            "ok": True, "status": OK, "seconds": 0.0, "bytes": 0,
            "result": {"fingerprint": args.new_fingerprint,
                       "replaced": old, "known_hosts": path},
            "text": text}
