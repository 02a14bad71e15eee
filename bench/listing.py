"""Listing a directory of many files through the agent, against a Python
listing that builds the same records with os.scandir, os.stat, pwd and
json.dumps. Prints the median times and their ratio."""
import argparse
import json
import os
import pwd
import tempfile

from common import median_time, running_agent

from vemo_master import MsgType


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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--files", type=int, default=100000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="vemo-listing-") as d, \
            running_agent() as agent:
        make_files(d, args.files)
        session = agent.session(timeout=120)
        agent_reply = session.request(MsgType.GET_FILE_LIST, d)
        assert json.loads(agent_reply) == json.loads(python_listing(d))
        agent_s = median_time(
            lambda: session.request(MsgType.GET_FILE_LIST, d), args.runs)
        python_s = median_time(lambda: python_listing(d), args.runs)
    print("listing of %d files: agent %.3f s (request to opened reply), "
          "python %.3f s; python/agent = %.2f (target >= 2)"
          % (args.files, agent_s, python_s, python_s / agent_s))


if __name__ == "__main__":
    main()
