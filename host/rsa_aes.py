"""Stand-in for the panel's crypto helper module `rsa_aes`.

Scheme (to be agreed with the master):
- RSA pair: 2048 bits; `data/id_rsa.pub` is a SubjectPublicKeyInfo PEM,
  `data/id_rsa` an unencrypted PKCS8 PEM; both created with mode 0600.
- `rsa_decrypt_private`: RSA-OAEP, SHA-256 hash, MGF1 with SHA-256, no label.
- `aes_encrypt`/`aes_decrypt`: AES-GCM keyed by the 16/24/32-byte password;
  sealed layout = 12-byte random nonce + ciphertext + 16-byte tag, no
  associated data.

Paths are relative to the working directory (the install directory).
Python 3.7 compatible; built on the `cryptography` package.
"""
import collections
import os

from cryptography.hazmat.backends import default_backend
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

PUBLIC_KEY_FILE = "data/id_rsa.pub"
PRIVATE_KEY_FILE = "data/id_rsa"
NONCE_SIZE = 12
TAG_SIZE = 16
# Building a cipher object costs about as much as sealing a short reply;
# one per session key is kept, for this many keys at most.
CIPHER_CACHE_SIZE = 64


def _write_private(path, data):
    """Write `data` to `path` so that the file is never readable by others.

    The file is created with mode 0600 (O_CREAT|O_EXCL on a fresh temp
    name) and then renamed over the target.
    """
    d = os.path.dirname(path) or "."
    tmp = os.path.join(d, ".%s.%d.tmp" % (os.path.basename(path), os.getpid()))
    try:
        os.unlink(tmp)
    except OSError:
        pass
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        os.fchmod(fd, 0o600)
        with os.fdopen(fd, "wb") as f:
            fd = None
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
    except BaseException:
        if fd is not None:
            os.close(fd)
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    os.rename(tmp, path)


class rsa_aes(object):
    def __init__(self):
        self._private_key = None
        self._ciphers = collections.OrderedDict()

    # RSA ---------------------------------------------------------------
    def create_rsa(self):
        """Create a fresh RSA-2048 pair in data/ (public and private PEM)."""
        d = os.path.dirname(PUBLIC_KEY_FILE)
        if d and not os.path.isdir(d):
            os.makedirs(d, mode=0o700, exist_ok=True)
        key = rsa.generate_private_key(public_exponent=65537, key_size=2048,
                                       backend=default_backend())
        private_pem = key.private_bytes(
            encoding=serialization.Encoding.PEM,
            format=serialization.PrivateFormat.PKCS8,
            encryption_algorithm=serialization.NoEncryption())
        public_pem = key.public_key().public_bytes(
            encoding=serialization.Encoding.PEM,
            format=serialization.PublicFormat.SubjectPublicKeyInfo)
        # Private key first: once id_rsa.pub exists the pair is complete.
        # The public half keys sessions, so it is as private as the other.
        _write_private(PRIVATE_KEY_FILE, private_pem)
        _write_private(PUBLIC_KEY_FILE, public_pem)
        self._private_key = key
        return True

    def _load_private_key(self):
        if self._private_key is None:
            with open(PRIVATE_KEY_FILE, "rb") as f:
                self._private_key = serialization.load_pem_private_key(
                    f.read(), password=None, backend=default_backend())
        return self._private_key

    def rsa_decrypt_private(self, data):
        """RSA-OAEP (SHA-256, MGF1 SHA-256, no label); returns bytes."""
        if isinstance(data, str):
            data = data.encode("latin-1")
        key = self._load_private_key()
        return key.decrypt(
            bytes(data),
            padding.OAEP(mgf=padding.MGF1(algorithm=hashes.SHA256()),
                         algorithm=hashes.SHA256(), label=None))

    # AES ---------------------------------------------------------------
    @staticmethod
    def _key(password):
        if isinstance(password, str):
            password = password.encode("utf-8")
        password = bytes(password)
        if len(password) not in (16, 24, 32):
            raise ValueError("AES key must be 16, 24 or 32 bytes, got %d"
                             % len(password))
        return password

    def _cipher(self, password):
        key = self._key(password)
        cipher = self._ciphers.get(key)
        if cipher is None:
            cipher = self._ciphers[key] = AESGCM(key)
            if len(self._ciphers) > CIPHER_CACHE_SIZE:
                self._ciphers.popitem(last=False)
        return cipher

    def aes_encrypt(self, password, data):
        """nonce(12) + ciphertext + tag(16), AES-GCM, no associated data."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        nonce = os.urandom(NONCE_SIZE)
        return nonce + self._cipher(password).encrypt(nonce, bytes(data), None)

    def aes_decrypt(self, password, data):
        """Reverse of aes_encrypt; raises on tampering or short input."""
        cipher = self._cipher(password)
        data = bytes(data)
        if len(data) < NONCE_SIZE + TAG_SIZE:
            raise ValueError("sealed data too short: %d bytes" % len(data))
        return cipher.decrypt(data[:NONCE_SIZE], data[NONCE_SIZE:], None)
