"""One TLS connection to an agent, with its session key."""
import json
import socket
import ssl

from . import crypto, wire
from .errors import FingerprintMismatch, KeyRefused, NoSessionKey
from .reply import reply_json
from .types import MsgType


def _tls_context():
    # The agent's certificate is self-signed; identity comes from the
    # optional fingerprint pin, not from a chain.
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def _normalise_fingerprint(fingerprint):
    if fingerprint is None:
        return None
    return fingerprint.replace(":", "").strip().lower()


class Session(object):
    """Master side of one agent connection.

    Every socket operation is bounded by `timeout` seconds. `fingerprint`
    pins the SHA-256 of the agent's certificate (hex, colons allowed).
    """

    def __init__(self, host, port, public_key_pem, timeout=30.0,
                 fingerprint=None):
        self.host = host
        self.port = port
        self.public_key_pem = public_key_pem
        self.timeout = timeout
        self.fingerprint = _normalise_fingerprint(fingerprint)
        self.sock = None
        self.key = None

    def connect(self):
        self.close()
        raw = socket.create_connection((self.host, self.port), self.timeout)
        try:
            self.sock = _tls_context().wrap_socket(raw)
        except BaseException:
            raw.close()
            raise
        if self.fingerprint is not None:
            actual = crypto.cert_fingerprint(
                self.sock.getpeercert(binary_form=True))
            if actual != self.fingerprint:
                self.close()
                raise FingerprintMismatch(self.fingerprint, actual)
        return self

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

    def recv_reply(self, max_size=wire.DEFAULT_MAX_REPLY):
        return wire.read_reply(self._connected_sock(), max_size)

    def exchange_key(self, key=None):
        """Install `key` (default: 32 fresh random bytes) as the session key.

        Returns the agent's reply. On refusal raises KeyRefused and keeps
        the previous key, as the agent does.
        """
        if key is None:
            key = crypto.new_session_key()
        self.send_frame(MsgType.ON_PASSWORD,
                        crypto.wrap_session_key(self.public_key_pem, key))
        reply = self.recv_reply()
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
        return crypto.open_sealed(self.key, payload)

    def request(self, msg_type, args=None):
        """Send one request and return the opened reply bytes.

        `args` is any JSON value (most operations take an object, the
        directory listing a bare path string); None sends no payload.
        """
        payload = b""
        if args is not None:
            payload = self.seal(json.dumps(args).encode("utf-8"))
        self.send_frame(msg_type, payload)
        return self.unseal(self.recv_reply())

    def request_json(self, msg_type, args=None):
        """Like request(), decoded as JSON; AgentFailure when the agent
        answers with a failure report."""
        return reply_json(self.request(msg_type, args))

    def heartbeat(self):
        return self.request(MsgType.HEARTBEAT) == b"1"
