"""put (and the grammar of get, in cmd_get): one file, several, or trees
(-r), each file with the resumable transfer. The destination is resolved
before anything is sent, as scp does: an existing directory, or a name
ending in "/", receives the files inside it. A file already in place
(same size and SHA-1) is skipped, as rsync does."""
import glob
import os
import posixpath
import stat as stat_module

from .. import files, transfer
from ..errors import Refused
from ..place import HEADER_OWNER
from . import cmd_get
from .argtypes import octal_mode
from .checks import absolute
from .cmd_files import confirm
from .declare import Command, Outcome, arg
from .output import UsageError, failed, refused


def _perm(path):
    return "%o" % stat_module.S_IMODE(os.stat(path).st_mode)


def _expand(sources):
    """Local paths, a quoted glob expanded here as the shell would."""
    found = []
    for source in sources:
        source = os.path.expanduser(source)
        if not os.path.lexists(source) and glob.has_magic(source):
            matches = sorted(glob.glob(source))
            if not matches:
                raise failed("no local file matches %s" % source)
            found += matches
        else:
            found.append(source)
    return found


def _check_put(args):
    absolute(args.remote)
    args.sources = _expand(args.sources)
    for source in args.sources:
        if os.path.isdir(source):
            if not args.recursive:
                raise UsageError("%s is a directory (use -r)" % source)
        elif not os.path.isfile(source):
            raise failed("no such local file: %s" % source)


class _RemoteNames(object):
    """Types of the entries of remote directories, one listing each."""

    def __init__(self, session):
        self.session = session
        self.seen = {}

    def __call__(self, directory):
        if directory not in self.seen:
            try:
                listing = files.list_dir(self.session, directory)
            except Refused:
                listing = {"dirs": [], "files": []}
            names = {r["name"]: "file" for r in listing["files"]}
            names.update((r["name"], "dir") for r in listing["dirs"])
            self.seen[directory] = names
        return self.seen[directory]


def _put_plan(ctx):
    """([(remote dir, mode)], [(local, remote dir, name, mode)])."""
    a = ctx.args
    dest = files.stat(ctx.session, a.remote)
    tree = any(os.path.isdir(s) for s in a.sources)
    into = a.remote.endswith("/") or (dest is not None
                                      and dest["type"] == "dir")
    if dest is not None and dest["type"] != "dir" and (
            into or tree or len(a.sources) > 1):
        raise refused("%s: %s is not a directory" % (ctx.where, a.remote))
    if len(a.sources) > 1 and not into:
        raise refused("%s: no such remote directory: %s (end it with / to "
                      "create it)" % (ctx.where, a.remote))
    base = a.remote.rstrip("/") or "/"
    dirs, items = [], []
    for source in a.sources:
        if not os.path.isdir(source):
            if into:
                items.append((source, base, os.path.basename(source), a.mode))
            else:
                parent, name = posixpath.split(base)
                items.append((source, parent or "/", name, a.mode))
            continue
        root = (posixpath.join(base, os.path.basename(os.path.normpath(
            source))) if into else base)
        for here, subdirs, names in os.walk(source):
            subdirs.sort()
            rel = os.path.relpath(here, source)
            remote_dir = root if rel == "." else posixpath.join(
                root, *rel.split(os.sep))
            dirs.append((remote_dir, _perm(here)))
            for name in sorted(names):
                path = os.path.join(here, name)
                if os.path.isfile(path):
                    items.append((path, remote_dir, name, _perm(path)))
    names = _RemoteNames(ctx.session)
    for remote_dir, _ in dirs:
        parent, name = posixpath.split(remote_dir)
        if names(parent or "/").get(name) == "file":
            raise refused("%s: %s is a file, not a directory"
                          % (ctx.where, remote_dir))
    for _, remote_dir, name, _ in items:
        if names(remote_dir).get(name) == "dir":
            raise refused("%s: %s is a directory"
                          % (ctx.where, posixpath.join(remote_dir, name)))
    return dirs, items


def _put_one(ctx, local, remote_dir, name, mode):
    a = ctx.args
    remote = posixpath.join(remote_dir, name)
    size = os.path.getsize(local)
    digest = ctx.local_sha1(local) if a.verify else None
    entry = {"local": local, "remote": remote, "size": size}
    if a.dry_run:
        offset = transfer.check_upload(ctx.session, local, remote_dir, name)
        skipped = offset is None and (not a.verify or files.sha1_matches(
            ctx.session, remote, digest))
        entry.update(offset=offset or 0, sent=0, skipped=skipped,
                     verified=a.verify, dry_run=True)
        return entry, "%s -> %s: %s" % (
            local, remote, "in place" if skipped else
            "would send %d bytes" % (size - (offset or 0)))
    progress = ctx.progress(name)
    # The upload header carries a mode only with an owner it accepts;
    # anything else is set once the content is in place.
    in_header = a.mode is not None and a.user is not None and (
        HEADER_OWNER.fullmatch(a.user) is not None)
    try:
        outcome = transfer.upload(
            ctx.session, local, remote_dir, name,
            mode=a.mode if in_header else None,
            user=a.user if in_header else None,
            verify=a.verify, progress=progress, sha1=digest,
            on_verify=progress.verifying)
    finally:
        progress.finish()
    if a.mode is not None or a.user is not None:
        if outcome.skipped or not in_header:
            files.set_mode(ctx.session, remote, a.mode, a.user)
        confirm(ctx, remote, a.mode, a.user)
    elif a.recursive and not outcome.skipped:
        files.set_mode(ctx.session, remote, mode)
    sent = 0 if outcome.skipped else size - outcome.offset
    entry.update(offset=0 if outcome.skipped else outcome.offset, sent=sent,
                 skipped=outcome.skipped, verified=a.verify)
    if outcome.skipped:
        return entry, "%s already in place (%d bytes)" % (remote, size)
    return entry, "%s -> %s: %d bytes sent%s" % (
        local, remote, sent,
        " (resumed at %d)" % outcome.offset if outcome.offset else "")


def put(ctx):
    a = ctx.args
    dirs, items = _put_plan(ctx)
    lines, entries = [], []
    for remote_dir, mode in dirs:
        if a.dry_run:
            lines.append("%s/: directory" % remote_dir)
        else:
            files.make_dir(ctx.session, remote_dir, mode)
    for item in items:
        entry, line = _put_one(ctx, *item)
        entries.append(entry)
        lines.append(line)
    sent = sum(e["sent"] for e in entries)
    if len(entries) == 1 and not dirs:
        return Outcome(entries[0], lines[0], sent)
    return Outcome({"files": entries, "dirs": [d for d, _ in dirs],
                    "sent": sent}, "\n".join(lines), sent)


def _transfer_options():
    return [arg("-r", "--recursive", action="store_true",
                help="copy directory trees"),
            arg("-n", "--dry-run", action="store_true",
                help="print what would be sent, change nothing"),
            arg("--no-verify", dest="verify", action="store_false",
                help="skip the SHA-1 comparison at the end")]


COMMANDS = [
    Command("put", "upload files or trees; resumes an interrupted upload, "
            "skips files in place", put,
            [arg("sources", nargs="+", metavar="LOCAL",
                 help="local files (globs are expanded), directories "
                      "with -r"),
             arg("remote", help="remote file, or directory (existing, or "
                                "ending in /)"),
             arg("--mode", type=octal_mode,
                 help="mode of the placed files; read back"),
             arg("--user", help="owner of the placed files (an account "
                                "name); read back")]
            + _transfer_options(),
            '{"local", "remote", "size", "offset", "sent", "skipped", '
            '"verified"}; "offset" is where a resumed upload started, '
            '"skipped" means the file was already in place. Several '
            'files or -r: {"files": [that], "dirs", "sent"}', _check_put),
    Command("get", "download files or trees; resumes from LOCAL.part, "
            "skips files in place", cmd_get.get,
            [arg("paths", nargs="+", metavar="REMOTE... [LOCAL]",
                 help="remote files, then the local file or directory "
                      "(default .)")] + _transfer_options()
            + cmd_get.OPTIONS,
            '{"remote", "local", "size", "offset", "received", "mode", '
            '"user", "skipped", "verified"}; several files or -r: '
            '{"files": [that], "received"}, with "links" [{"local", '
            '"target"}] and "skipped" [line] when the tree had links',
            cmd_get.check_get),
]
