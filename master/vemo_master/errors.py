"""Errors raised by the master library; all derive from VemoError.

What a caller driving agents mostly tells apart:

- Unreachable: no keyed session came about (connection refused, timed
  out, TLS failure, closed before the key was accepted);
- KeyRefused: the agent answered the key exchange with a refusal;
- CertificateChanged (a FingerprintMismatch): not the pinned agent;
- Refused: the agent declined the request; `msg` is its own text, the
  message its English;
- AgentFailure: the agent's handler raised; `exception` names the type.
"""
import json
import re

from .messages import english


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


class Unreachable(VemoError, ConnectionError):
    """No keyed session with the agent at host:port: `reason` says why in
    a few words; the exception that ended the attempt is its __cause__."""

    def __init__(self, host, port, reason):
        super().__init__("%s:%d unreachable: %s" % (host, port, reason))
        self.host = host
        self.port = port
        self.reason = reason


_EXCEPTION_LINE = re.compile(r"([A-Za-z_][\w.]*)(?::\s?(.*))?")


class AgentFailure(UnexpectedReply):
    """The agent's handler raised; `text` is its failure report,
    `exception` the type named on its last line ("ValueError"; "" when
    none is), `detail` what followed the type."""

    def __init__(self, text):
        super().__init__(text)
        lines = [line.strip() for line in text.splitlines() if line.strip()]
        match = _EXCEPTION_LINE.fullmatch(lines[-1]) if lines else None
        self.exception = match.group(1).rpartition(".")[2] if match else ""
        self.detail = (match.group(2) or "") if match else ""

    def __str__(self):
        return "the agent failed: %s" % (
            "%s: %s" % (self.exception, self.detail) if self.exception
            else self.text.strip())


class Refused(VemoError):
    """The agent answered with a result message whose status is false;
    `msg` is its text as sent, the message that text in English."""

    def __init__(self, msg):
        shown = english(msg)
        super().__init__(shown if isinstance(shown, str)
                         else json.dumps(shown, ensure_ascii=False))
        self.msg = msg


class TransferError(VemoError):
    """A transfer that ended without a faithful copy."""


class NotApplied(VemoError):
    """The agent accepted a change, but reading back shows it did not
    take (an unknown account, say), or the path is of the wrong type."""
