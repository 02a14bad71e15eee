"""File operations of the agent that take one request each: listing,
directories, modes and owners, and SHA-1 comparison."""
import hashlib
import os
import posixpath

from .errors import AgentFailure, Refused, UnexpectedReply
from .reply import FAILURE_MARK, bounded_json
from .types import MsgType

SHA1_PIECE = 1024 * 1024


def refused_unless_ok(reply):
    """`reply` unchanged unless it is a failed result message."""
    if isinstance(reply, dict) and reply.get("status") is False:
        raise Refused(reply.get("msg"))
    return reply


def bare_code(session, msg_type, args, valid):
    """The agent's bare text answer, for which `valid(text)` must hold."""
    text = session.request(msg_type, args).decode("utf-8", errors="replace")
    if valid(text):
        return text
    if text.lstrip().startswith(FAILURE_MARK):
        raise AgentFailure(text)
    raise UnexpectedReply(text)


def list_dir(session, path):
    """{"dirs": [...], "files": [...]}: the file records of directory
    `path`, in the agent's enumeration order. Refused when it is missing."""
    listing = refused_unless_ok(bounded_json(
        session.request(MsgType.GET_FILE_LIST, path)))
    if not (isinstance(listing, dict) and all(
            isinstance(listing.get(kind), list)
            and all(isinstance(r, dict) for r in listing[kind])
            for kind in ("dirs", "files"))):
        raise UnexpectedReply("not a listing: %.200r" % (listing,))
    return listing


def stat(session, path):
    """The listing record of `path` plus "type" ("dir" or "file"), or None
    when it is missing (or its parent is not a directory). "/" has no
    record of its own: {"name": "/", "type": "dir"}."""
    parent, name = posixpath.split(path.rstrip("/"))
    if not name:
        return {"name": "/", "type": "dir"}
    try:
        listing = list_dir(session, parent or "/")
    except Refused:
        return None
    except AgentFailure as exc:
        if "NotADirectoryError" in exc.text:
            return None
        raise
    for kind, type_name in (("dirs", "dir"), ("files", "file")):
        for record in listing[kind]:
            if record["name"] == name:
                return dict(record, type=type_name)
    return None


def _mode_request(path, mode, user):
    args = {"path": path}
    if mode is not None:
        args["mode"] = mode
    if user is not None:
        args["user"] = user
    return args


def make_dir(session, path, mode=None, user=None):
    """Creates `path` with its missing parents (nothing when it exists),
    then applies mode and owner when given."""
    bare_code(session, MsgType.CREATE_DIR, _mode_request(path, mode, user),
              "1".__eq__)


def set_mode(session, path, mode=None, user=None):
    """Sets mode (octal digits, e.g. "755") and/or owner (an account name)
    of `path`; False when the path does not exist."""
    return bare_code(session, MsgType.SET_FILE_MODE,
                     _mode_request(path, mode, user),
                     ("1", "0").__contains__) == "1"


def local_sha1(path, dir_fd=None):
    """SHA-1 of a local file, in the agent's text form (lower-case hex).
    With `dir_fd`, `path` is a name in that directory and a link there is
    not followed."""
    digest = hashlib.sha1()
    flags = os.O_RDONLY | os.O_CLOEXEC | (0 if dir_fd is None
                                          else os.O_NOFOLLOW)
    with open(os.open(path, flags, dir_fd=dir_fd), "rb") as f:
        for piece in iter(lambda: f.read(SHA1_PIECE), b""):
            digest.update(piece)
    return digest.hexdigest()


def sha1_matches(session, remote_path, sha1):
    """True when the agent's file `remote_path` has SHA-1 `sha1`; False when
    it differs or is missing."""
    return bare_code(session, MsgType.CHECK_FILE_SHA1,
                     {"f_name": remote_path, "f_sha1": sha1},
                     ("1", "-1").__contains__) == "1"
