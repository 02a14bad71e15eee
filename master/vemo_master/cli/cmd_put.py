"""put: one file, several, or trees (-r), each placed with the library's
`place`: content already there is not sent again, an interrupted upload
resumes, and the mode (--mode, or with -r the local file's) and owner are
applied whether or not content moved, so a drifted mode is put right.

A remote directory that already exists keeps its mode; when it differs
from the local one, a line says so. Links in a local tree are not
followed: each is reported on a line of its own."""
import os
import posixpath
import stat as stat_module

from .. import files, transfer
from ..ensure import ensure_dir
from ..errors import Refused
from ..place import place
from .declare import Outcome
from .output import refused, shown


def _perm(status):
    return "%04o" % stat_module.S_IMODE(status.st_mode)


class _Remote(object):
    """Records of the entries of remote directories, one listing each."""

    def __init__(self, session):
        self.session = session
        self.seen = {}

    def __call__(self, directory):
        if directory not in self.seen:
            try:
                listing = files.list_dir(self.session, directory)
            except Refused:
                listing = {"dirs": [], "files": []}
            entries = {r["name"]: dict(r, type="file")
                       for r in listing["files"]}
            entries.update((r["name"], dict(r, type="dir"))
                           for r in listing["dirs"])
            self.seen[directory] = entries
        return self.seen[directory]

    def entry(self, path):
        parent, name = posixpath.split(path)
        return self(parent or "/").get(name)


class Plan(object):
    """What a put does: dirs [(remote dir, local mode)], items [(local,
    remote path, mode)], links [line]."""

    def __init__(self):
        self.dirs, self.items, self.links = [], [], []

    def tree(self, source, root, mode):
        for here, subdirs, names in os.walk(source):
            rel = os.path.relpath(here, source)
            remote_dir = root if rel == "." else posixpath.join(
                root, *rel.split(os.sep))
            self.dirs.append((remote_dir, _perm(os.stat(here))))
            for name in sorted(subdirs + names):
                path = os.path.join(here, name)
                status = os.lstat(path)
                if stat_module.S_ISLNK(status.st_mode):
                    self.links.append("%s -> %s: a link, not copied" % (
                        shown(path), shown(os.readlink(path))))
                elif stat_module.S_ISREG(status.st_mode):
                    self.items.append((path, posixpath.join(remote_dir, name),
                                       mode or _perm(status)))
            subdirs[:] = sorted(d for d in subdirs if not os.path.islink(
                os.path.join(here, d)))


def plan(ctx):
    a = ctx.args
    remote = _Remote(ctx.session)
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
    found = Plan()
    for source in a.sources:
        if os.path.isdir(source):
            found.tree(source, posixpath.join(base, os.path.basename(
                os.path.normpath(source))) if into else base, a.mode)
        else:
            found.items.append((source, posixpath.join(
                base, os.path.basename(source)) if into else base, a.mode))
    for remote_dir, _ in found.dirs:
        record = remote.entry(remote_dir)
        if record is not None and record["type"] == "file":
            raise refused("%s: %s is a file, not a directory"
                          % (ctx.where, remote_dir))
    for _, path, _ in found.items:
        record = remote.entry(path)
        if record is not None and record["type"] == "dir":
            raise refused("%s: %s is a directory" % (ctx.where, path))
    return found, remote


def _dir_line(ctx, remote, path, mode):
    """Creates a missing directory with the local mode; an existing one
    keeps its own, said when it differs."""
    record = remote.entry(path)
    if record is None:
        if ctx.args.dry_run:
            return "%s/: would create (mode %s)" % (path, mode)
        ensure_dir(ctx.session, path, mode)
        return "%s/: created (mode %s)" % (path, mode)
    had = "%04o" % int(str(record["mode"]), 8)
    if had != mode:
        return "%s/: kept mode %s (local %s)" % (path, had, mode)
    return None


def _mode_note(change):
    before, after = change.before or {}, change.after or {}
    notes = ["%s %s -> %s" % (label, before[key], after[key])
             for key, label in (("mode", "mode"), ("user", "owner"))
             if before.get(key) is not None
             and before.get(key) != after.get(key)]
    return ", " + ", ".join(notes) if notes else ""


def _put_one(ctx, local, remote, mode):
    a = ctx.args
    size = os.path.getsize(local)
    digest = ctx.local_sha1(local)
    entry = {"local": local, "remote": remote, "size": size}
    if mode is not None:
        entry["mode"] = "%04o" % int(mode, 8)
    if a.dry_run:
        change = place(ctx.session, local, remote, mode, a.user, check=True,
                       sha1=digest)
        skipped = bool(change.before and change.before["same_content"])
        offset = 0 if skipped else transfer.check_upload(
            ctx.session, local, *posixpath.split(remote)) or 0
        entry.update(offset=offset, sent=0, skipped=skipped,
                     verified=a.verify, dry_run=True)
        what = "in place" if skipped else "would send %d bytes" % (
            size - offset)
        return entry, "%s -> %s: %s%s" % (local, remote, what,
                                          _mode_note(change))
    progress = ctx.progress(posixpath.basename(remote))
    try:
        change = place(ctx.session, local, remote, mode, a.user, sha1=digest,
                       verify=a.verify, progress=progress,
                       on_verify=progress.verifying)
    finally:
        progress.finish()
    moved = change.transfer
    skipped = moved is None or moved.skipped
    sent = 0 if skipped else size - moved.offset
    entry.update(offset=0 if skipped else moved.offset, sent=sent,
                 skipped=skipped, verified=a.verify)
    if skipped:
        return entry, "%s already in place (%d bytes)%s" % (
            remote, size, _mode_note(change))
    return entry, "%s -> %s: %d bytes sent%s%s" % (
        local, remote, sent,
        " (resumed at %d)" % moved.offset if moved.offset else "",
        _mode_note(change))


def put(ctx):
    found, remote = plan(ctx)
    lines = list(found.links)
    for path, mode in found.dirs:
        line = _dir_line(ctx, remote, path, mode)
        if line:
            lines.append(line)
    entries = []
    for item in found.items:
        entry, line = _put_one(ctx, *item)
        entries.append(entry)
        lines.append(line)
    sent = sum(e["sent"] for e in entries)
    if len(entries) == 1 and not found.dirs:
        return Outcome(entries[0], lines[-1], sent)
    return Outcome({"files": entries, "dirs": [d for d, _ in found.dirs],
                    "links": found.links, "sent": sent}, "\n".join(lines),
                   sent)
