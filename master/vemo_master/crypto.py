"""Payload sealing and session-key wrapping, matching the agent's crypto
helper: gzip, then AES-GCM (12-byte nonce + ciphertext + 16-byte tag, no
associated data); the session key travels gzipped under RSA-OAEP with
SHA-256 and MGF1-SHA-256."""
import hashlib
import os
import ssl
import zlib

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.backends import default_backend
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from .errors import BadSeal, ReplyTooLarge

NONCE_SIZE = 12
TAG_SIZE = 16
KEY_SIZES = (16, 24, 32)


def gzip_bytes(data, level=1):
    # One gzip member, its checksum taken by zlib as it goes; no time in
    # the header, as the agent's.  Starting a compressor clears its window
    # and hash table, which for a short request takes far longer than the
    # compressing: the window is only as large as the data needs (any gzip
    # reader takes a smaller one; deflate reaches back the window less 262
    # bytes), the hash table as wide as the window.
    window_bits = min(max((len(data) + 262).bit_length(), 9), 15)
    one = zlib.compressobj(level, zlib.DEFLATED, 16 + window_bits, window_bits - 7)
    return one.compress(data) + one.flush()


def gunzip_bytes(data, limit=None):
    """The gzip members of `data`, decompressed; ReplyTooLarge as soon as
    they would exceed `limit` bytes (None: no bound), so that a small
    hostile payload cannot inflate into gigabytes."""
    pieces, size = [], 0
    rest = bytes(data)
    while True:
        one = zlib.decompressobj(31)
        room = 0 if limit is None else limit - size + 1
        pieces.append(one.decompress(rest, room))
        size += len(pieces[-1])
        if limit is not None and size > limit:
            raise ReplyTooLarge(limit)
        if not one.eof:
            raise EOFError("compressed data ended before the end-of-stream "
                           "marker was reached")
        rest = one.unused_data
        if not rest.strip(b"\0"):
            # Trailing zero padding is tolerated, as gzip readers do.
            return b"".join(pieces)


def new_session_key(size=32):
    if size not in KEY_SIZES:
        raise ValueError("session key size must be one of %s" % (KEY_SIZES,))
    return os.urandom(size)


def seal(key, plaintext):
    """Sealed payload for `plaintext` bytes under session key `key`."""
    nonce = os.urandom(NONCE_SIZE)
    return nonce + AESGCM(bytes(key)).encrypt(
        nonce, gzip_bytes(plaintext), None)


def open_sealed(key, payload, limit=None):
    """Plaintext of a sealed payload; BadSeal when it does not open,
    ReplyTooLarge when it opens to more than `limit` bytes."""
    payload = bytes(payload)
    if len(payload) < NONCE_SIZE + TAG_SIZE:
        raise BadSeal("sealed payload too short: %d bytes" % len(payload))
    try:
        inner = AESGCM(bytes(key)).decrypt(
            payload[:NONCE_SIZE], payload[NONCE_SIZE:], None)
    except InvalidTag:
        raise BadSeal("sealed payload failed authentication") from None
    try:
        return gunzip_bytes(inner, limit)
    except (OSError, EOFError, zlib.error) as exc:
        raise BadSeal("sealed payload is not gzip: %s" % exc) from None


def wrap_session_key(public_key_pem, key):
    """Type-0 payload carrying `key`; the length is not checked here so
    that the agent's own refusal of bad lengths can be exercised."""
    if isinstance(public_key_pem, str):
        public_key_pem = public_key_pem.encode("ascii")
    public_key = serialization.load_pem_public_key(
        public_key_pem, backend=default_backend())
    if not isinstance(public_key, rsa.RSAPublicKey):
        raise ValueError("the agent's public key must be an RSA key")
    return public_key.encrypt(
        gzip_bytes(key),
        padding.OAEP(mgf=padding.MGF1(algorithm=hashes.SHA256()),
                     algorithm=hashes.SHA256(), label=None))


def cert_fingerprint(cert):
    """SHA-256 of a certificate (PEM text or DER bytes), lower-case hex."""
    if isinstance(cert, bytes) and cert.lstrip().startswith(b"-----"):
        cert = cert.decode("ascii")
    if isinstance(cert, str):
        cert = ssl.PEM_cert_to_DER_cert(cert)
    return hashlib.sha256(cert).hexdigest()
