"""Running one command on many agents at once (--hosts FILE)."""
import concurrent.futures
import os
import re

from .arguments import split_host_port
from .output import UsageError, failed
from .runner import Target, run

# Characters kept in per-host directory names; the rest become "_".
_UNSAFE = re.compile(r"[^A-Za-z0-9._-]")


def read_hosts(path, default_port, default_key):
    """Targets of a hosts file: "host[:port] [keyfile]" per line, "#"
    comments. A relative keyfile is taken from the file's directory."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError as exc:
        raise failed("cannot read hosts file %s: %s"
                     % (path, exc.strerror or exc))
    base = os.path.dirname(os.path.abspath(path))
    targets = []
    for number, line in enumerate(lines, 1):
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        if len(words) > 2:
            raise UsageError("%s:%d: expected host[:port] [keyfile]"
                             % (path, number))
        try:
            host, port = split_host_port(words[0], default_port)
        except ValueError as exc:
            raise UsageError("%s:%d: %s" % (path, number, exc))
        if any((t.host, t.port) == (host, port) for t in targets):
            raise UsageError("%s:%d: %s:%d is listed twice"
                             % (path, number, host, port))
        key = os.path.join(base, words[1]) if len(words) == 2 else default_key
        targets.append(Target(host, port, key))
    if not targets:
        raise UsageError("%s names no hosts" % path)
    return targets


def per_host_dir(target):
    """Directory name of a host's downloads: <host>_<port>."""
    return _UNSAFE.sub("_", "%s_%d" % (target.host, target.port))


def run_all(targets, args, parallel):
    """Result documents in the order of `targets`; one host's failure
    never stops the others."""
    def one(target):
        return run(target, args, show_progress=False,
                   per_host_dir=per_host_dir(target))

    pool = concurrent.futures.ThreadPoolExecutor(
        max_workers=min(parallel, len(targets)))
    try:
        results = list(pool.map(one, targets))
    except BaseException:
        # Interrupted: start nothing more; running hosts end with the process.
        try:
            pool.shutdown(wait=False, cancel_futures=True)
        except TypeError:  # before Python 3.9
            pool.shutdown(wait=False)
        raise
    pool.shutdown()
    return results
