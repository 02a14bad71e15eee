"""Two masters each download 1 GiB from one agent: one after the other,
then both at once.  Prints both times and whether every copy came out
intact (SHA-1 against the source)."""
import hashlib
import os
import tempfile
import threading
import time

from common import running_agent

from vemo_master import transfer

SIZE = 1 << 30
PIECE = 1 << 24


def sha1_of(path):
    digest = hashlib.sha1()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(PIECE), b""):
            digest.update(piece)
    return digest.hexdigest()


def main():
    with running_agent() as agent, tempfile.TemporaryDirectory() as scratch:
        source = os.path.join(scratch, "src.bin")
        with open(source, "wb") as f:
            for _ in range(SIZE // PIECE):
                f.write(os.urandom(PIECE))
        want = sha1_of(source)
        intact = []

        def one(i):
            copy = os.path.join(scratch, "copy%d" % i)
            transfer.download(agent.session(timeout=60), source, copy)
            intact.append(sha1_of(copy) == want)
            os.remove(copy)

        started = time.monotonic()
        one(0)
        one(1)
        in_turn = time.monotonic() - started
        started = time.monotonic()
        threads = [threading.Thread(target=one, args=(i,)) for i in (2, 3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        at_once = time.monotonic() - started
        print("two 1 GiB downloads: one after the other %.2f s, both at once %.2f s; "
              "%d of 4 copies intact" % (in_turn, at_once, sum(intact)))
    return 0 if sum(intact) == 4 else 1


if __name__ == "__main__":
    raise SystemExit(main())
