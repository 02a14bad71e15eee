"""SHA-1 of local files, computed once per play however many hosts
receive them. Each host's task runs in its own forked worker, so the
digests are kept in a private directory of the controller's user, keyed
by the file's path, inode, size and modification time: a file changed
since is hashed again."""
import hashlib
import os

from vemo_master.files import local_sha1

CACHE = os.path.join("~", ".ansible", "tmp", "vemo-sha1")


def _cache_dir():
    path = os.path.expanduser(CACHE)
    os.makedirs(path, mode=0o700, exist_ok=True)
    status = os.stat(path)
    if status.st_uid != os.getuid() or status.st_mode & 0o077:
        raise OSError("%s is not private to this user" % path)
    return path


def sha1_once(path):
    status = os.stat(path)
    key = "%s\0%d\0%d\0%d" % (os.path.realpath(path), status.st_ino,
                              status.st_size, status.st_mtime_ns)
    entry = os.path.join(_cache_dir(),
                         hashlib.sha1(key.encode("utf-8")).hexdigest())
    try:
        with open(entry) as f:
            digest = f.read()
        if len(digest) == 40:
            return digest
    except FileNotFoundError:
        pass
    digest = local_sha1(path)
    partial = "%s.%d" % (entry, os.getpid())
    with open(partial, "w") as f:
        f.write(digest)
    os.replace(partial, entry)
    return digest
