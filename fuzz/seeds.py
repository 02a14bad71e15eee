"""Seed corpus for fuzz/run.sh: a few inputs per mode (see agent_fuzz.cpp)."""
import json
import os
import struct
import sys


def frame(msg_type, payload=b"", length=None):
    return struct.pack("<ib", len(payload) if length is None else length, msg_type) + payload


def seeds():
    heartbeat = frame(16)
    upload = json.dumps({"f_path": "play", "f_name": "up", "f_size": 3, "f_md5": "x"}).encode()
    return {
        "prekey": [heartbeat, frame(0, b"\x01" * 256), frame(0, b"k" * 1025), frame(30, b"z" * 40) + frame(0, b"k" * 8),
                   frame(-1, b"", -7) + heartbeat, b"\x05\x00"],
        "frames": [heartbeat * 3, frame(30, b"z" * 40) + heartbeat, frame(7, b"\x00" * 40), frame(2, b"q" * 28),
                   frame(16, b"", -2 ** 31), frame(0, b"k" * 300), frame(4, b"s" * 64, 9000)],
        "sealed": [b"\x06\x02\x00" + b'"play"', b"\x01\x02\x00" + upload, b"\x03\x01\x07" + b"{}",
                   b"\x13\x03\x10" + b'{"fun": "nope"}', b"\x00\x00\x00" + b"n" * 40],
        "json": [bytes([i, 1]) + os.urandom(64) for i in range(20)] + [bytes([1, 1]) + b"\x09" * 200],
    }


def main(out):
    for mode, inputs in seeds().items():
        d = os.path.join(out, mode)
        os.makedirs(d, exist_ok=True)
        for i, data in enumerate(inputs):
            with open(os.path.join(d, "seed-%02d" % i), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
