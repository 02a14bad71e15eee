"""The agent's memory with several requests running at once.  Each row is
the rise of the agent's peak resident memory over its resident memory
before the row, while masters on their own connections send at once:
- requests whose payload opens to nearly `max_payload` (a listing of a
  path of ~250 MiB: a small frame that inflates), the largest a request's
  text can be;
- downloads of a 512 MiB file, and uploads of 256 MiB;
- listings of a directory of 100,000 entries.
The first row is the bound's worst case: every thread that runs requests
(4 for files, 1 for the panel's code) holding one."""
import argparse
import json
import os
import tempfile
import threading

from common import peak_growth_mib, running_agent

from long_operations import download, upload
from vemo_master import MsgType, files

BIG = 512 << 20
UPLOAD = 256 << 20
ENTRIES = 100_000
MAX_PAYLOAD = 256 << 20  # the agent's default max_payload


def at_once(jobs):
    """Run the callables together, started behind one barrier."""
    start = threading.Barrier(len(jobs))
    errors = []

    def run(job):
        start.wait()
        try:
            job()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=run, args=(job,)) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def inflating_listings(agent, count):
    path = "/" + "a" * (MAX_PAYLOAD - (6 << 20))
    text = json.dumps(path).encode()
    sessions = [(s, s.seal(text)) for s in (agent.session(timeout=300) for _ in range(count))]

    def one(session, sealed):
        return lambda: (session.send_frame(MsgType.GET_FILE_LIST, sealed), session.recv_reply())
    return [one(s, sealed) for s, sealed in sessions]


def downloads(agent, count, path):
    return [lambda: download(agent.session(timeout=300), path, BIG)] * count


def uploads(agent, count, scratch):
    return [lambda name=name: upload(agent.session(timeout=300), scratch, UPLOAD, 8 << 20, name=name)
            for name in ("up%d.bin" % i for i in range(count))]


def listings(agent, count, crowd):
    sessions = [agent.session(timeout=300) for _ in range(count)]
    return [lambda s=s: files.list_dir(s, crowd) for s in sessions]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--masters", type=int, default=8)
    args = parser.parse_args()
    n = args.masters
    with tempfile.TemporaryDirectory(prefix="vemo-memory-") as scratch:
        big = os.path.join(scratch, "big.bin")
        with open(big, "wb") as f:
            f.truncate(BIG)
        crowd = os.path.join(scratch, "crowd")
        os.mkdir(crowd)
        for i in range(ENTRIES):
            open(os.path.join(crowd, "f%06d" % i), "wb").close()
        rows = [("%d requests opening to ~250 MiB" % n, lambda agent: inflating_listings(agent, n)),
                ("%d downloads of 512 MiB + %d uploads of 256 MiB" % (n, n),
                 lambda agent: downloads(agent, n, big) + uploads(agent, n, scratch)),
                ("%d listings of 100,000 entries" % n, lambda agent: listings(agent, n, crowd))]
        for name, jobs_of in rows:
            # A new agent a row, so each starts from the same resident memory.
            with running_agent() as agent:
                jobs = jobs_of(agent)
                growth = peak_growth_mib(agent.proc.pid, lambda jobs=jobs: at_once(jobs))
            print("%-48s peak resident memory +%7.1f MiB" % (name, growth), flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
