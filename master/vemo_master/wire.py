"""Frame codec: requests carry a 5-byte header (signed 32-bit LE length,
signed 8-bit type), replies a 4-byte unsigned LE length."""
import socket
import struct
import time

from .errors import ConnectionClosed, DeadlineExceeded, FrameTooLarge

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


class Deadline(object):
    """An overall bound on a run of socket waits: each wait gets the
    socket's own timeout or what is left, whichever is shorter, so a peer
    that sends one byte now and then cannot hold us past `seconds`."""

    def __init__(self, seconds):
        self.seconds = seconds
        self.end = time.monotonic() + seconds

    def bound(self, sock, per_wait):
        """Sets `sock`'s timeout for its next wait; DeadlineExceeded once
        nothing is left."""
        left = self.end - time.monotonic()
        if left <= 0:
            raise DeadlineExceeded(self.seconds)
        sock.settimeout(left if per_wait is None else min(per_wait, left))

    def passed(self):
        return time.monotonic() >= self.end


def recv_exact(sock, n, deadline=None):
    """Exactly `n` bytes from `sock`; short reads are retried, EOF raises
    ConnectionClosed. Each wait is bounded by the socket's timeout and, when
    given, by what is left of `deadline` (a Deadline)."""
    buf = bytearray(n)
    view = memoryview(buf)
    got = 0
    per_wait = sock.gettimeout()
    try:
        while got < n:
            if deadline is not None:
                deadline.bound(sock, per_wait)
            try:
                count = sock.recv_into(view[got:], n - got)
            except socket.timeout:
                if deadline is not None and deadline.passed():
                    raise DeadlineExceeded(deadline.seconds) from None
                raise
            if count == 0:
                raise ConnectionClosed(
                    "connection closed after %d of %d bytes" % (got, n))
            got += count
    finally:
        if deadline is not None:
            sock.settimeout(per_wait)
    return bytes(buf)


def read_reply(sock, max_size=DEFAULT_MAX_REPLY, deadline=None):
    """Payload of one reply frame; FrameTooLarge before reading a payload
    above `max_size` (None for no limit). `deadline` as for recv_exact."""
    (size,) = REPLY_HEADER.unpack(recv_exact(sock, REPLY_HEADER.size,
                                             deadline))
    if max_size is not None and size > max_size:
        raise FrameTooLarge(size, max_size)
    return recv_exact(sock, size, deadline)
