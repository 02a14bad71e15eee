"""Master-side client for the vemo node agent."""
__version__ = "0.1.0"

from .crypto import (cert_fingerprint, gunzip_bytes, gzip_bytes,
                     new_session_key, open_sealed, seal, wrap_session_key)
from .errors import (AgentFailure, BadSeal, CertificateChanged,
                     ConnectionClosed, DeadlineExceeded, FingerprintMismatch,
                     FrameTooLarge, KeyRefused, NoSessionKey, Refused, ReplyTooLarge, TransferError,
                     UnexpectedReply, VemoError)
from .reply import reply_json, reply_value
from .session import Session
from .types import MsgType
from .wire import pack_request, read_reply, recv_exact

__all__ = [
    "AgentFailure", "BadSeal", "CertificateChanged", "ConnectionClosed",
    "DeadlineExceeded",    "FingerprintMismatch", "FrameTooLarge", "KeyRefused", "MsgType",
    "NoSessionKey", "Refused", "ReplyTooLarge", "Session", "TransferError", "UnexpectedReply", "VemoError",
    "cert_fingerprint", "gunzip_bytes", "gzip_bytes", "new_session_key",
    "open_sealed", "pack_request", "read_reply", "recv_exact", "reply_json",
    "reply_value", "seal", "wrap_session_key",
]
