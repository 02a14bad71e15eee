"""Errors raised by the master library; all derive from VemoError."""


class VemoError(Exception):
    """Base of every error this library raises on purpose."""


class ConnectionClosed(VemoError, ConnectionError):
    """The agent ended the connection in the middle of a frame."""


class FrameTooLarge(VemoError):
    """A reply header announced more bytes than the caller accepts.

    The payload is left unread, so the connection is out of step and
    should be closed.
    """

    def __init__(self, size, limit):
        super().__init__("reply of %d bytes exceeds the limit of %d"
                         % (size, limit))
        self.size = size
        self.limit = limit


class ReplyTooLarge(VemoError):
    """A reply opened to more bytes than the caller accepts; what was read
    of it is dropped."""

    def __init__(self, limit):
        super().__init__("reply opens to more than the limit of %d bytes"
                         % limit)
        self.limit = limit


class DeadlineExceeded(VemoError, TimeoutError):
    """A request was not answered within its overall deadline, however
    steadily its bytes arrived."""

    def __init__(self, seconds):
        super().__init__("no whole answer within the deadline of %g s"
                         % seconds)
        self.seconds = seconds


class BadSeal(VemoError):
    """A sealed payload did not open: wrong key, tampered or truncated."""


class NoSessionKey(VemoError):
    """Sealing was asked for before a key exchange succeeded."""


class FingerprintMismatch(VemoError):
    """The agent's certificate is not the pinned one."""

    def __init__(self, expected, actual, message=None):
        super().__init__(message or "certificate fingerprint %s, expected %s"
                         % (actual, expected))
        self.expected = expected
        self.actual = actual


class CertificateChanged(FingerprintMismatch):
    """The agent's certificate is not the one it presented at first
    contact (recorded in the known-hosts file `path`)."""

    def __init__(self, host, port, expected, actual, path):
        super().__init__(expected, actual, (
            "certificate of %s:%d changed: %s records %s, the agent presents "
            "%s; if the agent's certificate was replaced on purpose, delete "
            "that line" % (host, port, path, expected, actual)))
        self.host = host
        self.port = port
        self.path = path


class KeyRefused(VemoError):
    """The agent did not answer a key exchange with b"True"."""

    def __init__(self, reply):
        super().__init__("key exchange refused: %r" % (reply,))
        self.reply = reply


class UnexpectedReply(VemoError):
    """A reply that should have been JSON was bare text."""

    def __init__(self, text):
        super().__init__(text)
        self.text = text


class AgentFailure(UnexpectedReply):
    """The agent's handler raised; `text` is its failure report."""


class Refused(VemoError):
    """The agent answered with a result message whose status is false."""

    def __init__(self, msg):
        super().__init__(msg)
        self.msg = msg


class TransferError(VemoError):
    """A transfer that ended without a faithful copy."""
