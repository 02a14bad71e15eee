"""Master-side client for the vemo node agent."""
__version__ = "0.1.0"

from .crypto import (cert_fingerprint, gunzip_bytes, gzip_bytes,
                     new_session_key, open_sealed, seal, wrap_session_key)
from .errors import (AgentFailure, BadSeal, CertificateChanged,
                     ConnectionClosed, DeadlineExceeded, FingerprintMismatch,
                     FrameTooLarge, KeyRefused, NoSessionKey, NotApplied,
                     Refused, ReplyTooLarge, TransferError, UnexpectedReply,
                     Unreachable, VemoError)
from .change import Change
from .ensure import ensure_dir, ensure_mode, ensure_owner
from .messages import english
from .packages import pip_install, pip_remove
from .place import fetch, place
from .workers import ensure_worker
from .reply import reply_json, reply_value
from .session import Session
from .types import MsgType
from .wire import pack_request, read_reply, recv_exact

__all__ = [
    "AgentFailure", "BadSeal", "CertificateChanged", "Change",
    "ConnectionClosed", "NotApplied", "Unreachable", "english",
    "ensure_dir", "ensure_mode", "ensure_owner", "ensure_worker", "fetch",
    "pip_install", "pip_remove", "place",
    "DeadlineExceeded",    "FingerprintMismatch", "FrameTooLarge", "KeyRefused", "MsgType",
    "NoSessionKey", "Refused", "ReplyTooLarge", "Session", "TransferError", "UnexpectedReply", "VemoError",
    "cert_fingerprint", "gunzip_bytes", "gzip_bytes", "new_session_key",
    "open_sealed", "pack_request", "read_reply", "recv_exact", "reply_json",
    "reply_value", "seal", "wrap_session_key",
]
