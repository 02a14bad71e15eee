"""One TLS connection to an agent, with its session key."""
import json
import socket
import ssl

from . import crypto, known_hosts, wire
from .errors import (ConnectionClosed, FingerprintMismatch, KeyRefused,
                     NoSessionKey, Unreachable)
from .reply import reply_json
from .types import MsgType


def _tls_context():
    # The agent's certificate is self-signed; identity comes from its
    # pinned fingerprint, not from a chain.
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def _normalise_fingerprint(fingerprint):
    if fingerprint is None:
        return None
    return fingerprint.replace(":", "").strip().lower()


# What one reply may open to: a listing of a few hundred thousand entries
# fits; a small hostile reply cannot inflate into gigabytes.
DEFAULT_MAX_REPLY = 64 * 1024 * 1024
# An overall deadline, in multiples of the per-wait timeout, when none is
# given: a peer that trickles bytes cannot hold a request for long.
DEADLINE_WAITS = 4


def _why(exc):
    """A few words on what stopped a connection or the key exchange."""
    if isinstance(exc, ConnectionRefusedError):
        return "connection refused"
    if isinstance(exc, TimeoutError):
        return "timed out"
    if isinstance(exc, ssl.SSLError):
        return "TLS failure: %s" % (exc.reason or exc)
    if isinstance(exc, socket.gaierror):
        return "unknown host: %s" % exc.strerror
    if isinstance(exc, (ConnectionClosed, ConnectionError, EOFError)):
        return "closed before the key was accepted"
    return exc.strerror or str(exc)


def sealed_bound(opened):
    """The largest sealed frame that can open to `opened` bytes: gzip adds
    at most 5 bytes per stored block of up to 64 KiB and 18 of its own,
    the seal 28."""
    return opened + opened // 8192 + 1024


class Session(object):
    """Master side of one agent connection.

    Every socket wait is bounded by `timeout` seconds, and each request
    (connecting, the key exchange, a request and its reply) by `deadline`
    seconds overall (default: DEADLINE_WAITS times `timeout`; None with a
    None timeout). A reply opening to more than `max_reply` bytes raises
    ReplyTooLarge (None: no bound).

    The agent's certificate is pinned before anything is sent: by default
    to the SHA-256 fingerprint it presented at first contact, recorded in
    the known-hosts file `known_hosts` (default: known_hosts.default_path());
    a different certificate raises CertificateChanged. `fingerprint` (hex,
    colons allowed) pins explicitly and leaves the file alone; only
    `insecure=True` accepts any certificate.
    """

    def __init__(self, host, port, public_key_pem, timeout=30.0,
                 fingerprint=None, insecure=False, known_hosts=None,
                 deadline=None, max_reply=DEFAULT_MAX_REPLY):
        if insecure and fingerprint is not None:
            raise ValueError("a fingerprint pin and insecure exclude "
                             "each other")
        self.host = host
        self.port = port
        self.public_key_pem = public_key_pem
        self.timeout = timeout
        if deadline is None and timeout is not None:
            deadline = DEADLINE_WAITS * timeout
        self.deadline = deadline
        self.max_reply = max_reply
        self.fingerprint = _normalise_fingerprint(fingerprint)
        self.insecure = insecure
        self.known_hosts = known_hosts
        # (fingerprint, known-hosts file) when the last connect() was the
        # first contact and recorded the agent's certificate.
        self.first_contact = None
        self.sock = None
        self.key = None

    def new_deadline(self):
        """A Deadline for one request, or None when there is no bound."""
        return None if self.deadline is None else wire.Deadline(self.deadline)

    def connect(self):
        """Connects and checks the certificate; Unreachable when no TLS
        connection comes about."""
        self.close()
        try:
            self._handshake()
        except (OSError, EOFError) as exc:
            raise Unreachable(self.host, self.port, _why(exc)) from exc
        try:
            self._check_certificate()
        except BaseException:
            self.close()
            raise
        return self

    def _handshake(self):
        deadline = self.new_deadline()
        raw = socket.create_connection((self.host, self.port), self.timeout)
        try:
            if deadline is not None:
                # The handshake's reads share one bound, set here.
                deadline.bound(raw, self.timeout)
            self.sock = _tls_context().wrap_socket(raw)
            self.sock.settimeout(self.timeout)
        except BaseException:
            raw.close()
            raise

    def _check_certificate(self):
        if self.insecure:
            return
        actual = crypto.cert_fingerprint(
            self.sock.getpeercert(binary_form=True))
        if self.fingerprint is not None:
            if actual != self.fingerprint:
                raise FingerprintMismatch(self.fingerprint, actual)
            return
        path = self.known_hosts or known_hosts.default_path()
        if known_hosts.check(path, self.host, self.port, actual,
                             peers=[self.sock.getpeername()[0]]):
            self.first_contact = (actual, path)

    def close(self):
        if self.sock is not None:
            self.sock.close()
        self.sock = None
        self.key = None

    def __enter__(self):
        if self.sock is None:
            self.connect()
        return self

    def __exit__(self, *exc_info):
        self.close()

    def _connected_sock(self):
        if self.sock is None:
            raise OSError("session is not connected")
        return self.sock

    def send_frame(self, msg_type, payload=b"", length=None):
        self._connected_sock().sendall(
            wire.pack_request(msg_type, payload, length))

    def recv_reply(self, max_size=None, deadline=None):
        """One reply frame's payload, at most `max_size` bytes (default:
        what max_reply opens from), read within `deadline` (a Deadline;
        default: a new one of this session's)."""
        if max_size is None and self.max_reply is not None:
            max_size = sealed_bound(self.max_reply)
        if deadline is None:
            deadline = self.new_deadline()
        return wire.read_reply(self._connected_sock(), max_size, deadline)

    def exchange_key(self, key=None):
        """Install `key` (default: 32 fresh random bytes) as the session key.

        Returns the agent's reply. On refusal raises KeyRefused and keeps
        the previous key, as the agent does; an agent that drops the
        connection instead (it cannot open the wrapped key) or does not
        answer raises Unreachable.
        """
        if key is None:
            key = crypto.new_session_key()
        wrapped = crypto.wrap_session_key(self.public_key_pem, key)
        try:
            self.send_frame(MsgType.ON_PASSWORD, wrapped)
            reply = self.recv_reply()
        except (OSError, EOFError) as exc:
            raise Unreachable(self.host, self.port, _why(exc)) from exc
        if reply != b"True":
            raise KeyRefused(reply)
        self.key = bytes(key)
        return reply

    def seal(self, plaintext):
        if self.key is None:
            raise NoSessionKey("no session key: call exchange_key() first")
        return crypto.seal(self.key, plaintext)

    def unseal(self, payload):
        if self.key is None:
            raise NoSessionKey("no session key: call exchange_key() first")
        return crypto.open_sealed(self.key, payload, self.max_reply)

    def request(self, msg_type, args=None):
        """Send one request and return the opened reply bytes.

        `args` is any JSON value (most operations take an object, the
        directory listing a bare path string); None sends no payload.
        """
        deadline = self.new_deadline()
        payload = b""
        if args is not None:
            payload = self.seal(json.dumps(args).encode("utf-8"))
        self.send_frame(msg_type, payload)
        return self.unseal(self.recv_reply(deadline=deadline))

    def request_json(self, msg_type, args=None):
        """Like request(), decoded as JSON; AgentFailure when the agent
        answers with a failure report."""
        return reply_json(self.request(msg_type, args))

    def heartbeat(self):
        return self.request(MsgType.HEARTBEAT) == b"1"
