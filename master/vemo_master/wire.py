"""Frame codec: requests carry a 5-byte header (signed 32-bit LE length,
signed 8-bit type), replies a 4-byte unsigned LE length."""
import struct

from .errors import ConnectionClosed, FrameTooLarge

REQUEST_HEADER = struct.Struct("<ib")
REPLY_HEADER = struct.Struct("<I")
# A corrupt or hostile header must not make us allocate gigabytes.
DEFAULT_MAX_REPLY = 256 * 1024 * 1024


def pack_request(msg_type, payload=b"", length=None):
    """Header plus payload. `length` overrides the declared length, which
    lets callers send frames whose header disagrees with the payload
    (zero or negative lengths, for instance)."""
    if length is None:
        length = len(payload)
    if not -2 ** 31 <= length < 2 ** 31:
        raise ValueError("frame length %d does not fit the header" % length)
    if not -128 <= msg_type < 128:
        raise ValueError("message type %d does not fit the header" % msg_type)
    return REQUEST_HEADER.pack(length, msg_type) + bytes(payload)


def recv_exact(sock, n):
    """Exactly `n` bytes from `sock`; short reads are retried, EOF raises
    ConnectionClosed. Time limits are those of the socket."""
    buf = bytearray(n)
    view = memoryview(buf)
    got = 0
    while got < n:
        count = sock.recv_into(view[got:], n - got)
        if count == 0:
            raise ConnectionClosed(
                "connection closed after %d of %d bytes" % (got, n))
        got += count
    return bytes(buf)


def read_reply(sock, max_size=DEFAULT_MAX_REPLY):
    """Payload of one reply frame; FrameTooLarge before reading a payload
    above `max_size` (None for no limit)."""
    (size,) = REPLY_HEADER.unpack(recv_exact(sock, REPLY_HEADER.size))
    if max_size is not None and size > max_size:
        raise FrameTooLarge(size, max_size)
    return recv_exact(sock, size)
