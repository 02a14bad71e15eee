"""Where a get writes: the destination directory, opened once as the
operator named it, and everything below it reached one checked name at a
time from that descriptor, never through a link. Nothing lands outside it.

Modes from the agent are applied as permission bits only unless `setid`
asks for the set-id and sticky bits too; a directory that was already
there keeps its mode."""
import contextlib
import errno
import os
import stat as stat_module

from .. import files
from .output import failed, shown

DIR_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


def plain_name(name):
    """True for a name that can only mean an entry of its own directory."""
    return (isinstance(name, str) and name not in ("", ".", "..")
            and "/" not in name and "\0" not in name)


def mode_bits(value, setid=False):
    """The mode the agent reported (octal digits, as text or as the
    listing's number) masked to what may be applied; None when it is not
    a mode."""
    text = str(value) if isinstance(value, (str, int)) and not isinstance(
        value, bool) else ""
    if not (1 <= len(text) <= 4 and all(c in "01234567" for c in text)):
        return None
    return int(text, 8) & (0o7777 if setid else 0o777)


class Destination(object):
    """The local directory `path` and the directories this run created
    below it (their modes are applied last, deepest first)."""

    def __init__(self, path):
        self.path = path
        self.created = []
        try:
            self.fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY
                              | os.O_CLOEXEC)
        except FileNotFoundError:
            self.fd = None  # a dry run's destination, still to be made

    def close(self):
        if self.fd is not None:
            os.close(self.fd)

    def shown(self, parts):
        return shown(os.path.join(self.path, *parts))

    def _refuse(self, parts, exc):
        if exc.errno in (errno.ELOOP, errno.ENOTDIR):
            raise failed("local %s is a link or not a directory; nothing is "
                         "written through it" % self.shown(parts))
        raise exc

    @contextlib.contextmanager
    def directory(self, parts, create=True):
        """Descriptor of the directory `parts` below the destination; the
        missing ones are created, or with `create` false raise
        FileNotFoundError."""
        if self.fd is None:
            raise FileNotFoundError(self.path)
        fd = os.dup(self.fd)
        try:
            for depth, name in enumerate(parts, 1):
                try:
                    if create:
                        os.mkdir(name, 0o777, dir_fd=fd)
                        self.created.append(tuple(parts[:depth]))
                except FileExistsError:
                    pass
                try:
                    sub = os.open(name, DIR_FLAGS, dir_fd=fd)
                except OSError as exc:
                    self._refuse(parts[:depth], exc)
                os.close(fd)
                fd = sub
            yield fd
        finally:
            os.close(fd)

    def in_place(self, session, remote, parts):
        """True when parts names a regular file (not a link) whose SHA-1
        is that of the agent's `remote`."""
        try:
            with self.directory(parts[:-1], create=False) as fd:
                status = os.stat(parts[-1], dir_fd=fd, follow_symlinks=False)
                if not stat_module.S_ISREG(status.st_mode):
                    return False
                digest = files.local_sha1(parts[-1], fd)
        except FileNotFoundError:
            return False
        return files.sha1_matches(session, remote, digest)

    def held(self, parts, suffix):
        """Size of the regular file parts + suffix, 0 when there is none."""
        try:
            with self.directory(parts[:-1], create=False) as fd:
                status = os.stat(parts[-1] + suffix, dir_fd=fd,
                                 follow_symlinks=False)
        except FileNotFoundError:
            return 0
        return status.st_size if stat_module.S_ISREG(status.st_mode) else 0

    def chmod(self, parts, bits):
        """Applies `bits` to the file `parts`, reached through no link."""
        with self.directory(parts[:-1]) as fd:
            one = os.open(parts[-1], os.O_RDONLY | os.O_NOFOLLOW
                          | os.O_CLOEXEC, dir_fd=fd)
            try:
                os.fchmod(one, bits)
            finally:
                os.close(one)

    def link(self, parts, target):
        """The link `parts` -> `target`, in place of an earlier link."""
        with self.directory(parts[:-1]) as fd:
            try:
                os.symlink(target, parts[-1], dir_fd=fd)
            except FileExistsError:
                status = os.stat(parts[-1], dir_fd=fd, follow_symlinks=False)
                if not stat_module.S_ISLNK(status.st_mode):
                    raise failed("local %s exists and is not a link"
                                 % self.shown(parts))
                os.unlink(parts[-1], dir_fd=fd)
                os.symlink(target, parts[-1], dir_fd=fd)

    def finish_dirs(self, modes):
        """Applies `modes` ({parts: bits}) to the directories this run
        created, deepest first, so a read-only one is filled before."""
        for parts in sorted(self.created, key=len, reverse=True):
            bits = modes.get(parts)
            if bits is not None:
                with self.directory(parts) as fd:
                    os.fchmod(fd, bits)
