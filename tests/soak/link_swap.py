"""A local user swaps a directory of theirs with a link to root's files
while the master works in it.

The user (uid 65534) owns `site/` and keeps exchanging `site/conf`, a real
directory of theirs, with a symbolic link to `protected/`, a root-owned
directory, as fast as the kernel lets them (renameat2 RENAME_EXCHANGE).
Meanwhile the master uploads into `site/conf/`, creates directories in it
and sets the mode of `site/conf/shadow`, each so many times, all with the
user as the new owner. Any of it landing in `protected/` is a hit.

    VEMO_TEST_BUILD=<build dir> python3 tests/soak/link_swap.py [-n 50]

Prints "N of n" hits per operation; exits non-zero on any hit.
"""
import argparse
import ctypes
import os
import pathlib
import shutil
import sys
import tempfile

TESTS = pathlib.Path(__file__).resolve().parents[1]
for path in (TESTS / "support", TESTS.parent / "master", TESTS / "soak"):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

import agent_process  # noqa: E402
import raw_transfer as rt  # noqa: E402
from harness import BUILD  # noqa: E402
from kill_uploads import install_root  # noqa: E402
from vemo_master import VemoError, files  # noqa: E402

USER = 65534
SECRET = b"root only"
RENAME_EXCHANGE = 2


def pristine(protected):
    shadow = protected / "shadow"
    for entry in protected.iterdir():
        if entry.name != "shadow":
            shutil.rmtree(str(entry)) if entry.is_dir() else entry.unlink()
    shadow.write_bytes(SECRET)
    os.chown(str(shadow), 0, 0)
    shadow.chmod(0o600)


def touched(protected):
    st = os.stat(str(protected / "shadow"))
    return ((st.st_mode & 0o7777, st.st_uid) != (0o600, 0)
            or (protected / "shadow").read_bytes() != SECRET
            or any(e.name != "shadow" for e in protected.iterdir()))


def start_swapper(site, protected):
    """The user's process: conf and alt exchanged for ever."""
    site_fd = os.open(str(site), os.O_RDONLY | os.O_DIRECTORY)
    pid = os.fork()
    if pid:
        os.close(site_fd)
        return pid
    try:
        os.setgroups([])
        os.setgid(USER)
        os.setuid(USER)
        os.mkdir("conf", dir_fd=site_fd)
        with open(os.open("conf/shadow", os.O_WRONLY | os.O_CREAT, 0o600, dir_fd=site_fd), "wb") as f:
            f.write(b"the user's")
        os.symlink(str(protected), "alt", dir_fd=site_fd)
        renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
        while True:
            renameat2(site_fd, b"conf", site_fd, b"alt", RENAME_EXCHANGE)
    finally:
        os._exit(0)


def upload(session, site, i):
    header = rt.upload_header(site / "conf", "shadow", b"x%d" % i, f_mode="666", f_user="nobody")
    return rt.upload(session, header, b"x%d" % i)["status"] is True


def create_dir(session, site, i):
    files.make_dir(session, str(site / "conf" / ("made%d" % i)), "777", "nobody")
    return True


def set_file_mode(session, site, i):
    return files.set_mode(session, str(site / "conf" / "shadow"), "666", "nobody")


def race(agent, site, protected, operation, rounds):
    hits = done = 0
    session = agent.session(timeout=30)
    for i in range(rounds):
        pristine(protected)
        try:
            done += operation(session, site, i)
        except VemoError:
            pass  # refused: a failure report
        hits += touched(protected)
    pristine(protected)
    return hits, done


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", "--rounds", type=int, default=50)
    args = parser.parse_args()
    base = pathlib.Path(tempfile.mkdtemp(prefix="link-swap-"))
    swapper = None
    try:
        root = install_root(base)
        site, protected = base / "site", base / "protected"
        site.mkdir()
        os.chown(str(site), USER, USER)
        protected.mkdir()
        pristine(protected)
        swapper = start_swapper(site, protected)
        agent = agent_process.start_agent(root)
        try:
            print("build %s, %d rounds each" % (BUILD, args.rounds))
            hits_total = 0
            for operation in (upload, create_dir, set_file_mode):
                hits, done = race(agent, site, protected, operation, args.rounds)
                hits_total += hits
                print("%-14s %d of %d reached the protected directory "
                      "(%d answered as done)" % (operation.__name__, hits, args.rounds, done))
        finally:
            agent.stop()
        print("FAILED" if hits_total else "OK")
        return 1 if hits_total else 0
    finally:
        if swapper:
            os.kill(swapper, 9)
            os.waitpid(swapper, 0)
        shutil.rmtree(str(base), ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
