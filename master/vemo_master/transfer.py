"""Resumable file transfers with the agent.

An upload asks the agent first and resumes from the count it reports; a
download resumes from a local partial file. Both check the first chunk's
MD5 on the way and the whole file's SHA-1 at the end. Files are streamed,
never held in memory."""
import collections
import hashlib
import json
import os
import stat as stat_module

from . import files
from .errors import TransferError, UnexpectedReply
from .reply import reply_json
from .types import MsgType
from .wire import recv_exact

FIRST_CHUNK = 512
PIECE = 256 * 1024
PARTIAL_SUFFIX = ".part"

UploadResult = collections.namedtuple("UploadResult", "skipped offset reply")


def _md5(data):
    return hashlib.md5(data).hexdigest()


def _first_chunk(f, offset, size):
    f.seek(offset)
    return f.read(min(FIRST_CHUNK, max(0, size - offset)))


def _is_check_answer(text):
    return text in ("-2", "-1") or (text.isascii() and text.isdigit())


def check_upload(session, local_path, remote_dir, remote_name):
    """The agent's view of an upload: None when the file is already in
    place, otherwise the offset to send from (0 or the resume count)."""
    size = os.path.getsize(local_path)
    with open(local_path, "rb") as f:
        head = _first_chunk(f, 0, size)
    answer = files.bare_code(session, MsgType.ON_CHECK_FILE_UPLOAD, {
        "f_path": remote_dir, "f_name": remote_name, "f_size": size,
        "f_md5": _md5(head)}, _is_check_answer)
    if answer == "-2":
        return None
    return 0 if answer == "-1" else int(answer)


def _send_rest(sock, f, left, local_path, progress=None, size=0):
    buf = bytearray(PIECE)
    view = memoryview(buf)
    while left > 0:
        n = f.readinto(view[:min(PIECE, left)])
        if not n:
            raise TransferError("%s shrank while it was sent" % local_path)
        sock.sendall(view[:n])
        left -= n
        if progress is not None:
            progress(size - left, size)


def send_upload(session, local_path, remote_dir, remote_name, offset=0,
                mode=None, user=None, progress=None):
    """Sends the file from `offset`: the header frame, then the first chunk
    as one piece and the rest in large pieces. Returns the agent's result
    message. `progress(done, size)`, when given, is called as bytes go out,
    `done` counting from the start of the file."""
    size = os.path.getsize(local_path)
    header = {"f_path": remote_dir, "f_name": remote_name, "f_size": size}
    with open(local_path, "rb") as f:
        first = _first_chunk(f, offset, size)
        if size > 0:
            header["f_md5"] = _md5(first)
        if offset:
            header["f_pos"] = offset
        if mode is not None:
            header["f_mode"] = mode
            header["f_user"] = user
        session.send_frame(MsgType.ON_FILE,
                           session.seal(json.dumps(header).encode("utf-8")))
        session.sock.sendall(first)
        if progress is not None:
            progress(offset + len(first), size)
        _send_rest(session.sock, f, size - offset - len(first), local_path,
                   progress, size)
    return reply_json(session.unseal(session.recv_reply()))


def upload(session, local_path, remote_dir, remote_name, mode=None,
           user=None, verify=True, progress=None, sha1=None, on_verify=None):
    """Places `local_path` at remote_dir/remote_name, resuming an earlier
    interrupted upload. With `verify`, a file the agent reports as already
    in place is sent again unless its SHA-1 matches, and a finished upload
    must match too. `progress` is passed on to send_upload(); `sha1`, when
    given, is the local file's known digest; `on_verify()` is called when
    the final comparison starts."""
    remote_path = remote_dir.rstrip("/") + "/" + remote_name
    digest = (lambda: sha1) if sha1 else (lambda: files.local_sha1(local_path))
    offset = check_upload(session, local_path, remote_dir, remote_name)
    if offset is None:
        if not verify or files.sha1_matches(session, remote_path, digest()):
            return UploadResult(True, os.path.getsize(local_path), None)
        offset = 0
    reply = files.refused_unless_ok(send_upload(
        session, local_path, remote_dir, remote_name, offset, mode, user,
        progress))
    if verify and on_verify is not None:
        on_verify()
    if verify and not files.sha1_matches(session, remote_path, digest()):
        raise TransferError("%s differs from %s after the upload"
                            % (remote_path, local_path))
    return UploadResult(False, offset, reply)


def request_download(session, remote_path, offset=0):
    """Asks for the file from `offset`; returns the download header (keys
    f_size, f_mode, f_user, f_md5). The raw bytes follow on the socket."""
    args = {"filename": remote_path}
    if offset:
        args["f_pos"] = offset
    header = files.refused_unless_ok(
        session.request_json(MsgType.ON_DOWNLOAD, args))
    if not (isinstance(header, dict) and type(header.get("f_size")) is int
            and header["f_size"] >= 0 and isinstance(header.get("f_md5"),
                                                      str)):
        # Where its raw bytes end is unknown: the stream is out of step.
        session.close()
        raise UnexpectedReply("not a download header: %.200s"
                              % json.dumps(header))
    return header


def receive_download(session, header, offset, out, progress=None):
    """Appends the raw bytes the agent sends after `header` to the open
    file `out`, each piece as it arrives, and returns their count.
    `progress(done, size)`, when given, is called as bytes arrive, `done`
    counting from the start of the file."""
    count = max(0, header["f_size"] - offset)
    first = recv_exact(session.sock, min(FIRST_CHUNK, count))
    if _md5(first) != header["f_md5"]:
        # The rest is still on its way; the stream cannot be resynchronised.
        session.close()
        raise TransferError("first chunk does not match its digest")
    out.write(first)
    size = header["f_size"]
    buf = bytearray(PIECE)
    view = memoryview(buf)
    left = count - len(first)
    if progress is not None:
        progress(size - left, size)
    while left > 0:
        n = session.sock.recv_into(view, min(PIECE, left))
        if n == 0:
            out.flush()
            raise TransferError("connection ended %d bytes short" % left)
        out.write(view[:n])
        left -= n
        if progress is not None:
            progress(size - left, size)
    return count


def _held(partial, dir_fd):
    """Bytes of an earlier partial download; one that is not a regular
    file (a link, say) is removed, never written through."""
    try:
        status = os.stat(partial, dir_fd=dir_fd, follow_symlinks=False)
    except FileNotFoundError:
        return None
    if stat_module.S_ISREG(status.st_mode):
        return status.st_size
    os.unlink(partial, dir_fd=dir_fd)
    return None


def _open_partial(partial, held, dir_fd):
    # Appended to when held, else created afresh: never through a link.
    flags = os.O_WRONLY | os.O_APPEND | os.O_NOFOLLOW | os.O_CLOEXEC
    if held is None:
        flags |= os.O_CREAT | os.O_EXCL
    return open(os.open(partial, flags, 0o666, dir_fd=dir_fd), "ab")


def download(session, remote_path, local_path, verify=True, progress=None,
             on_verify=None, dir_fd=None):
    """Fetches `remote_path` into `local_path`, resuming from
    local_path + ".part" when an earlier download was cut short. Returns
    the download header. With `verify`, a copy whose SHA-1 differs from the
    agent's file is discarded and TransferError raised. `progress` is
    passed on to receive_download(); `on_verify()` is called when the
    final comparison starts. With `dir_fd`, `local_path` is a name in that
    directory. The partial file is never opened through a link, and the
    copy replaces whatever `local_path` names (a link itself, not what it
    points to)."""
    partial = local_path + PARTIAL_SUFFIX
    held = _held(partial, dir_fd)
    offset = held or 0
    header = request_download(session, remote_path, offset)
    if offset > header["f_size"]:
        # Left over from a larger file; the agent sent nothing after the header.
        os.unlink(partial, dir_fd=dir_fd)
        held, offset = None, 0
        header = request_download(session, remote_path, offset)
    with _open_partial(partial, held, dir_fd) as out:
        receive_download(session, header, offset, out, progress)
    if verify and on_verify is not None:
        on_verify()
    if verify and not files.sha1_matches(session, remote_path,
                                         files.local_sha1(partial, dir_fd)):
        os.unlink(partial, dir_fd=dir_fd)
        raise TransferError("%s differs from %s after the download"
                            % (local_path, remote_path))
    os.replace(partial, local_path, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
    return header
