"""Commands on remote paths that take one request or a few: listing,
status, directories, modes, owners and SHA-1 comparison. Mode and owner
changes are read back: the agent reports a path it reached, not whether
the change took."""
import os
import re
import stat as stat_module
import time

from .. import files
from ..ensure import SPECIAL_NOTE, mode_bits
from .checks import absolute, check_path, existing, local_file, octal
from .argtypes import octal_mode
from .declare import Command, Outcome, arg
from .output import UsageError, failed, refused, shown

SHA1_HEX = re.compile(r"[0-9a-fA-F]{40}")
RECORD = ('{"name", "mode", "mtime", "user", "size", "link"} ("mode" is '
          'the octal digits read as decimal, 644; "mtime" epoch seconds)')


def mode_string(record):
    """-rw-r--r-- of a listing record."""
    bits = int(str(record["mode"]), 8)
    kind = stat_module.S_IFDIR if record.get("type") == "dir" else (
        stat_module.S_IFREG)
    return stat_module.filemode(kind | bits)


def _date(seconds):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seconds))


def _record_line(record):
    name = shown(record["name"]) + ("/" if record["type"] == "dir" else "")
    if record.get("link"):
        name += " -> " + shown(record["link"])
    return "%s %-10s %12d %s %s" % (mode_string(record), shown(record["user"]),
                                    record["size"], _date(record["mtime"])[:16],
                                    name)


def _by_name(records):
    return sorted(records, key=lambda r: r["name"])


def ls(ctx):
    listing = files.list_dir(ctx.session, ctx.args.path)
    dirs, plain = _by_name(listing["dirs"]), _by_name(listing["files"])
    lines = [_record_line(dict(r, type="dir")) for r in dirs]
    lines += [_record_line(dict(r, type="file")) for r in plain]
    return Outcome({"path": ctx.args.path, "dirs": dirs, "files": plain},
                   "\n".join(lines))


def _check_stat(args):
    absolute(args.path)
    if args.path.rstrip("/") == "":
        raise UsageError("stat needs a path below /")


def stat(ctx):
    path = ctx.args.path.rstrip("/")
    result = dict(existing(ctx, path), path=path)
    shown = dict(result, mode="%s (%04d)" % (mode_string(result),
                                              result["mode"]),
                 mtime=_date(result["mtime"]))
    text = "\n".join("%s: %s" % (k, shown[k]) for k in (
        "path", "type", "mode", "user", "size", "mtime", "link"))
    return Outcome(result, text)


def confirm(ctx, path, mode=None, user=None, kind=None):
    """Reads `path` back; failed, naming what it is now, unless it has
    `mode`, `user` and type `kind` (each when given)."""
    record = existing(ctx, path)
    wrong = []
    if kind is not None and record["type"] != kind:
        wrong.append("it is a %s" % record["type"])
    if mode is not None and record["mode"] != octal(mode):
        wrong.append("mode is %s, not %s" % (mode_string(record), mode))
    if user is not None and record["user"] != user:
        wrong.append("owner is %s, not %s" % (record["user"], user))
    if wrong:
        raise failed("%s: %s unchanged: %s" % (ctx.where, path,
                                               "; ".join(wrong)))
    return record


def _unread(mode):
    """What of `mode` was applied without being read back, as a note."""
    return "" if mode is None or not mode_bits(mode) & 0o7000 else (
        " (%s)" % SPECIAL_NOTE)


def mkdir(ctx):
    a = ctx.args
    files.make_dir(ctx.session, a.path, a.mode, a.user)
    record = confirm(ctx, a.path, a.mode, a.user, kind="dir")
    return Outcome({"path": a.path, "mode": record["mode"],
                    "user": record["user"]},
                   "%s in place (%s %s)%s" % (a.path, mode_string(record),
                                              record["user"], _unread(a.mode)))


def _set(ctx, mode=None, user=None):
    path = ctx.args.path
    if not files.set_mode(ctx.session, path, mode, user):
        raise refused("%s: no such remote path: %s" % (ctx.where, path))
    record = confirm(ctx, path, mode, user)
    result = {"path": path}
    result.update({"mode": mode} if mode is not None else {"user": user})
    return Outcome(result, "%s %s%s" % (path, "mode %s" % mode_string(record)
                                        if mode is not None
                                        else "owner %s" % user, _unread(mode)))


def chmod(ctx):
    return _set(ctx, mode=ctx.args.mode)


def _check_chown(args):
    check_path(args)
    if ":" in args.user or "." in args.user:
        raise UsageError("the agent sets the owner only, not a group: %r"
                         % args.user)


def chown(ctx):
    return _set(ctx, user=ctx.args.user)


def _digest_given(expected):
    """A local file of that name wins over a digest."""
    return not os.path.isfile(expected) and SHA1_HEX.fullmatch(expected)


def _check_sha1(args):
    absolute(args.remote)
    if not _digest_given(args.expected):
        local_file(args.expected)


def sha1(ctx):
    a = ctx.args
    given = bool(_digest_given(a.expected))
    digest = a.expected.lower() if given else ctx.local_sha1(a.expected)
    match = files.sha1_matches(ctx.session, a.remote, digest)
    if not match:
        record = existing(ctx, a.remote)
        if record["type"] != "file":
            raise refused("%s: %s is a directory" % (ctx.where, a.remote))
    local = "expected" if given else "local %s" % a.expected
    lines = "%s sha1 %s\nremote %s: %s" % (
        local, digest, a.remote, "same SHA-1" if match else "differs")
    if not match:
        raise failed("%s: %s: SHA-1 differs from %s (%s)"
                     % (ctx.where, a.remote, digest, local))
    return Outcome({"remote": a.remote, "sha1": digest, "match": True}, lines)


COMMANDS = [
    Command("ls", "list a remote directory, sorted by name", ls,
            [arg("path")], '{"path", "dirs": [record], "files": [record]}; '
            'a record is ' + RECORD, check_path),
    Command("stat", "show one remote entry", stat, [arg("path")],
            'the entry\'s record plus "path" and "type" ("dir" or "file"); '
            'a record is ' + RECORD, _check_stat),
    Command("mkdir", "create a remote directory and its parents; read back",
            mkdir, [arg("path"), arg("--mode", type=octal_mode),
                    arg("--user")],
            '{"path", "mode", "user"} as read back; exit 1 when the path '
            'is not a directory or mode or owner did not take', check_path),
    Command("chmod", "set the mode of a remote path; read back", chmod,
            [arg("mode", type=octal_mode), arg("path")],
            '{"path", "mode"}; exit 1 when the mode did not take',
            check_path),
    Command("chown", "set the owner (an account name) of a remote path; "
            "read back", chown, [arg("user"), arg("path")],
            '{"path", "user"}; exit 1 when the owner did not take (an '
            'unknown account)', _check_chown),
    Command("sha1", "compare a remote file with a local file or digest",
            sha1, [arg("remote"),
                   arg("expected", help="local file, or a 40-digit SHA-1")],
            '{"remote", "sha1", "match": true}; a mismatch exits 1, a '
            'missing remote file 3', _check_sha1),
]
