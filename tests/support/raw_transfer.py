"""Speaking the file-transfer exchanges byte by byte, for tests that need
more control than the master library gives (odd headers, split or cut
short raw transfers)."""
import hashlib
import json

from vemo_master import MsgType, recv_exact, reply_json

FIRST_CHUNK = 512
# The agent's answers to an upload, and the suffix of its temp file.
UPLOADED = {"status": True, "msg": "上传成功!"}
COUNT_MISMATCH = {"status": False, "msg": "文件校验失败!"}
TEMP = "._upload_tmp"


def md5(data):
    return hashlib.md5(data).hexdigest()


def sha1(data):
    return hashlib.sha1(data).hexdigest()


def send_upload_header(session, header):
    session.send_frame(MsgType.ON_FILE,
                       session.seal(json.dumps(header).encode("utf-8")))


def upload_header(path, name, content, offset=0, **extra):
    """The header a conforming master sends for content[offset:]."""
    header = {"f_path": str(path), "f_name": name, "f_size": len(content)}
    if content:
        header["f_md5"] = md5(content[offset:offset + FIRST_CHUNK])
    if offset:
        header["f_pos"] = offset
    header.update(extra)
    return header


def upload(session, header, raw):
    """Header frame, then `raw` as the raw transfer; the result message."""
    send_upload_header(session, header)
    session.sock.sendall(raw)
    return reply_json(session.unseal(session.recv_reply()))


def check(session, path, name, size, head_md5):
    """The agent's bare answer to an upload check."""
    return session.request(MsgType.ON_CHECK_FILE_UPLOAD, {
        "f_path": str(path), "f_name": name, "f_size": size,
        "f_md5": head_md5}).decode()


def download(session, filename, count, **extra):
    """The download header and exactly `count` raw bytes after it."""
    args = dict(filename=str(filename), **extra)
    header = session.request_json(MsgType.ON_DOWNLOAD, args)
    return header, recv_exact(session.sock, count)
