"""Directory listings through the agent, each figure beside a yardstick
measured in the same run:
- a large directory over the wire (sealed, sent, opened and parsed by the
  master) against `ls -la` of it to /dev/null, and against a Python
  listing that builds the same records;
- 10-entry listings one after another on one connection: requests per
  second, against a plain TLS ping-pong of the same message sizes between
  two processes, and their median latency against a heartbeat's on the
  same connection.
Prints medians and the spread (lowest..highest) of the runs."""
import argparse
import json
import os
import pwd
import statistics
import subprocess
import tempfile
import time

from common import add_host_option, host_text, plain_round_trips, running_agent, timed

from vemo_master import MsgType, files, wire


def python_listing(path):
    """The same reply text, built the way a Python agent would."""
    dirs, files = [], []
    for entry in os.scandir(path):
        full = path + "/" + entry.name
        if not os.path.exists(full):
            continue
        st = os.stat(full)
        try:
            user = pwd.getpwuid(st.st_uid).pw_name
        except KeyError:
            user = str(st.st_uid)
        record = {"name": entry.name, "mode": int(oct(st.st_mode)[-3:]),
                  "mtime": int(st.st_mtime), "user": user,
                  "size": st.st_size,
                  "link": os.readlink(full) if os.path.islink(full) else ""}
        (dirs if os.path.isdir(full) else files).append(record)
    return json.dumps({"dirs": dirs, "files": files})


def make_files(path, count):
    for i in range(count):
        with open(os.path.join(path, "f%06d.txt" % i), "wb") as f:
            f.write(b"x" * (i % 100))


def spread(values):
    return "%s (%s..%s)" % tuple(
        "%.3g" % v for v in (statistics.median(values), min(values), max(values)))


def ls_la(path):
    with open(os.devnull, "wb") as null:
        subprocess.run(["ls", "-la", path], stdout=null, check=True)


def large_listing(session, path, runs):
    """Seconds of each run: agent over the wire, ls -la, Python.  The agent
    and ls alternate which goes first, since each slows the one after it a
    little; the Python listing, which disturbs the next run most, is timed
    after all of them."""
    agent, ls = [], []
    for run in range(runs):
        pair = [(agent, lambda: files.list_dir(session, path)), (ls, lambda: ls_la(path))]
        for times, fn in pair[::-1] if run % 2 else pair:
            times.append(timed(fn))
    python = [timed(lambda: python_listing(path)) for _ in range(runs)]
    return agent, ls, python


def latencies(fn, count):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return times


def listing_frames(session, path):
    """A listing's request frame, and a reply of its reply frame's size."""
    request = wire.pack_request(MsgType.GET_FILE_LIST, session.seal(json.dumps(path).encode()))
    session.sock.sendall(request)
    return request, b"r" * (4 + len(session.recv_reply()))


def small_listings(agent, session, path, count):
    """(listings per second, plain ping-pongs of the same sizes per second,
    listing p50, heartbeat p50) of one run."""
    listing = latencies(lambda: session.request(MsgType.GET_FILE_LIST, path), count)
    heartbeat = latencies(session.heartbeat, count)
    plain = plain_round_trips(agent, *listing_frames(session, path), count)
    return (count / sum(listing), count / plain,
            statistics.median(listing), statistics.median(heartbeat))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--files", type=int, default=100000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--requests", type=int, default=2000,
                        help="10-entry listings (and heartbeats) per run")
    add_host_option(parser)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="vemo-listing-") as big, \
            tempfile.TemporaryDirectory(prefix="vemo-listing-") as small, \
            running_agent(checkout_host=args.checkout_host) as agent:
        make_files(big, args.files)
        make_files(small, 10)
        session = agent.session(timeout=120)
        agent_reply = session.request(MsgType.GET_FILE_LIST, big)
        assert json.loads(agent_reply) == json.loads(python_listing(big))
        assert agent_reply == python_listing(big).encode()
        agent_s, ls_s, python_s = large_listing(session, big, args.runs)
        small_runs = [small_listings(agent, session, small, args.requests)
                      for _ in range(args.runs)]
    print("listing of %d files over the wire: agent %s s, ls -la %s s, python %s s"
          % (args.files, spread(agent_s), spread(ls_s), spread(python_s)))
    print("  ls/agent = %s (target >= 1.5), python/agent = %s"
          % (spread([ls / a for ls, a in zip(ls_s, agent_s)]),
             spread([p / a for p, a in zip(python_s, agent_s)])))
    rates = [r for r, _, _, _ in small_runs]
    to_plain = [r / plain for r, plain, _, _ in small_runs]
    p50 = [lat * 1e6 for _, _, lat, _ in small_runs]
    ratio = [lat / h for _, _, lat, h in small_runs]
    print("10-entry listings on one connection: %s requests/s, %s of a plain TLS "
          "ping-pong of the same sizes; p50 %s us, p50 listing/heartbeat = %s "
          "(target <= 2); %d requests per run, %d runs, %s"
          % (spread(rates), spread(to_plain), spread(p50), spread(ratio),
             args.requests, args.runs, host_text(args.checkout_host)))


if __name__ == "__main__":
    main()
