"""One command against one agent: connect, exchange the key, run, and
turn whatever happened into a result document."""
import collections
import os
import threading
import time

from .. import files
from ..errors import ConnectionClosed, Refused, Unreachable
from ..session import Session
from .output import OK, address, classify, failed, refused, unexpected
from .progress import Progress

Target = collections.namedtuple("Target", "host port key_path fingerprint")
Target.__new__.__defaults__ = (None,)


class LocalDigests(object):
    """SHA-1 of local files, computed once per run however many hosts
    receive them; a file changed since is hashed again."""

    def __init__(self):
        self.lock = threading.Lock()
        self.known = {}

    def __call__(self, path):
        status = os.stat(path)
        key = (os.path.realpath(path), status.st_size, status.st_mtime_ns)
        with self.lock:
            if key not in self.known:
                self.known[key] = files.local_sha1(path)
            return self.known[key]


class Context(object):
    """What a command sees: the keyed session, its arguments, where it
    runs and how to report progress."""

    def __init__(self, session, args, target, connect_seconds, show_progress,
                 per_host_dir, local_sha1, progress):
        self.session = session
        self.local_sha1 = local_sha1
        self.make_progress = progress
        self.args = args
        self.where = where(target)
        self.connect_seconds = connect_seconds
        self.show_progress = show_progress
        self.per_host_dir = per_host_dir

    def progress(self, label):
        if self.make_progress is not None:
            return self.make_progress(label)
        return Progress(label, enabled=None if self.show_progress else False)


def where(target):
    return address(target.host, target.port)


def _read_key(target):
    try:
        with open(target.key_path, "rb") as f:
            return f.read()
    except OSError as exc:
        raise failed("%s: cannot read key file %s: %s"
                     % (where(target), target.key_path, exc.strerror or exc))


def _connect(session, target):
    session.connect()
    try:
        session.exchange_key()
    except ValueError as exc:
        raise failed("%s: key file %s is not an RSA public key: %s"
                     % (where(target), target.key_path, exc))
    except Unreachable as exc:
        # An agent that cannot open the wrapped key drops the connection.
        if not isinstance(exc.__cause__, (ConnectionClosed, ConnectionResetError,
                                          BrokenPipeError)):
            raise
        raise refused("%s: key refused by the agent (it closed the "
                      "connection; is --key its public key?)" % where(target))


def run(target, args, show_progress=False, per_host_dir=None,
        local_sha1=None, progress=None):
    """The result document of `args.command` on `target`; never raises
    for anything the agent, the network or the local files do.
    `local_sha1(path)` may be shared by the hosts of a fleet run;
    `progress(label)`, when given, makes each transfer's progress."""
    start = time.monotonic()
    document = {"command": args.command, "host": target.host,
                "port": target.port}
    session = None
    try:
        key = _read_key(target)
        session = Session(target.host, target.port, key, timeout=args.timeout,
                          fingerprint=target.fingerprint or args.fingerprint,
                          insecure=args.insecure, deadline=args.deadline,
                          max_reply=args.max_reply << 20)
        _connect(session, target)
        ctx = Context(session, args, target, time.monotonic() - start,
                      show_progress, per_host_dir, local_sha1 or LocalDigests(),
                      progress)
        outcome = args.handler.run(ctx)
        document.update(ok=True, status=OK, bytes=outcome.bytes,
                        result=outcome.result)
        document["text"] = outcome.text
        if session.first_contact is not None:
            document["text"] = "%s: certificate %s recorded in %s (first " \
                "contact)\n%s" % ((where(target),) + session.first_contact
                                  + (outcome.text,))
    except Exception as exc:  # every failure becomes one line
        if args.traceback and unexpected(exc):
            raise
        status, message = classify(exc, where(target), args.timeout)
        document.update(ok=False, status=status, bytes=0, error=message)
        if isinstance(exc, Refused) and isinstance(exc.msg, str):
            document["agent_msg"] = exc.msg
    finally:
        if session is not None:
            session.close()
    document["seconds"] = round(time.monotonic() - start, 3)
    return document


def public(document):
    """The document as --json shows it (without the rendered text)."""
    shown = dict(document)
    shown.pop("text", None)
    order = ("command", "host", "port", "ok", "status", "seconds", "bytes",
             "result", "error", "agent_msg")
    return {k: shown[k] for k in order if k in shown}
