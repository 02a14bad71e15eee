"""A small agent that lies, for testing masters: real TLS on loopback with
its own self-signed certificate, the key exchange and sealing as the
protocol describes them, and answers scripted per message type.

`answer(msg_type, args, conn)` returns the plaintext of the reply (bytes;
sealed here), or None after writing whatever it likes itself through
`conn.send_raw` / `conn.send_sealed`."""
import datetime
import hashlib
import json
import os
import socket
import ssl
import struct
import threading
import zlib

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.x509.oid import NameOID

from vemo_master import MsgType, crypto

_OAEP = padding.OAEP(mgf=padding.MGF1(algorithm=hashes.SHA256()),
                     algorithm=hashes.SHA256(), label=None)


def _self_signed(key):
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "hostile")])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=1))
            .sign(key, hashes.SHA256()))
    return cert.public_bytes(serialization.Encoding.PEM)


class Connection(object):
    def __init__(self, tls):
        self.tls = tls
        self.key = None

    def recv_exact(self, n):
        data = b""
        while len(data) < n:
            piece = self.tls.recv(n - len(data))
            if not piece:
                raise EOFError
            data += piece
        return data

    def send_raw(self, data):
        self.tls.sendall(data)

    def send_sealed(self, plaintext):
        self.send_opened(crypto.gzip_bytes(plaintext))

    def send_opened(self, inner):
        """A reply frame sealing `inner`, the bytes that should be gzip."""
        nonce = os.urandom(crypto.NONCE_SIZE)
        payload = nonce + AESGCM(self.key).encrypt(nonce, inner, None)
        self.send_raw(struct.pack("<I", len(payload)) + payload)


class HostileAgent(object):
    def __init__(self, directory, answer, port=0):
        self.answer = answer
        self.rsa = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        self.key_path = directory / "hostile.pub"
        self.key_path.write_bytes(self.rsa.public_key().public_bytes(
            serialization.Encoding.PEM,
            serialization.PublicFormat.SubjectPublicKeyInfo))
        cert_path, key_path = directory / "hostile.crt", directory / "hostile.key"
        cert = _self_signed(self.rsa)
        self.fingerprint = crypto.cert_fingerprint(cert)
        cert_path.write_bytes(cert)
        key_path.write_bytes(self.rsa.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption()))
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(str(cert_path), str(key_path))
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while True:
            try:
                raw, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(raw,), daemon=True).start()

    def _serve(self, raw):
        try:
            with self.context.wrap_socket(raw, server_side=True) as tls:
                conn = Connection(tls)
                while True:
                    length, msg_type = struct.unpack("<ib", conn.recv_exact(5))
                    payload = conn.recv_exact(max(length, 0))
                    if msg_type == MsgType.ON_PASSWORD:
                        conn.key = crypto.gunzip_bytes(self.rsa.decrypt(payload, _OAEP))
                        conn.send_raw(struct.pack("<I", 4) + b"True")
                        continue
                    args = json.loads(crypto.open_sealed(conn.key, payload)) \
                        if payload else None
                    reply = self.answer(msg_type, args, conn)
                    if reply is not None:
                        conn.send_sealed(reply)
        except (OSError, EOFError, ValueError):
            pass

    def close(self):
        self.listener.close()


class TreeAgent(object):
    """Answers listings, downloads and SHA-1 checks from `tree` ({remote
    dir: {"dirs": [record], "files": [record]}}) and `contents` ({remote
    file: (bytes, f_mode text)})."""

    def __init__(self, tree, contents):
        self.tree = tree
        self.contents = contents

    def __call__(self, msg_type, args, conn):
        if msg_type == MsgType.GET_FILE_LIST:
            if args not in self.tree:
                return json.dumps({"status": False, "msg": "missing"}).encode()
            return json.dumps(self.tree[args]).encode()
        if msg_type == MsgType.ON_DOWNLOAD:
            data, mode = self.contents[args["filename"]]
            conn.send_sealed(json.dumps({
                "f_size": len(data), "f_mode": mode, "f_user": "root",
                "f_md5": hashlib.md5(data[:512]).hexdigest()}).encode())
            conn.send_raw(data)
            return None
        if msg_type == MsgType.CHECK_FILE_SHA1:
            data, _ = self.contents.get(args["f_name"], (None, None))
            same = data is not None and hashlib.sha1(data).hexdigest() == args["f_sha1"]
            return b"1" if same else b"-1"
        return b"1"


def record(name, mode=644, link="", size=0):
    return {"name": name, "mode": mode, "mtime": 0, "user": "root",
            "size": size, "link": link}


def gzip_bomb(members=16, each=64 << 20):
    """About 1 MiB of gzip members that open to members * each bytes."""
    one = zlib.compressobj(9, zlib.DEFLATED, 31)
    member = one.compress(bytes(each)) + one.flush()
    return member * members
