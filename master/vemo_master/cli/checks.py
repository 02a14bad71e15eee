"""Argument checks shared by several commands, run before any connection,
and the remote look-ups that decide whether a command can work."""
import os

from .. import files
from .output import UsageError, failed, refused


def absolute(path):
    if not path.startswith("/"):
        raise UsageError("remote path must be absolute: %r" % path)


def check_path(args):
    absolute(args.path)


def local_file(path):
    if not os.path.isfile(path):
        raise failed("no such local file: %s" % path)


def no_clash(keys, reserved):
    clash = sorted(set(keys) & set(reserved))
    if clash:
        raise UsageError("request keys %s are set by the command itself"
                         % ", ".join(clash))


def existing(ctx, path):
    """The remote entry's record; refused when it is missing."""
    record = files.stat(ctx.session, path)
    if record is None:
        raise refused("%s: no such remote path: %s" % (ctx.where, path))
    return record


def octal(mode):
    """A mode's permission digits as the listing shows them (755)."""
    return int(mode[-3:])
