"""get: one file, several, or trees (-r), each file with the resumable
transfer. The local destination is resolved before anything is asked, as
scp does: an existing directory, or a name ending in "/", receives the
files inside it. A file already in place (same size and SHA-1) is
skipped. Everything is written below the destination through local_tree,
from names remote_tree has checked."""
import os
import posixpath

from .. import transfer
from .checks import absolute, existing
from .declare import Outcome, arg
from .local_tree import Destination, mode_bits
from .output import failed, refused, shown
from .remote_tree import Plan, walk


def check_get(args):
    paths = [os.path.expanduser(p) for p in args.paths]
    remotes, local = (paths, ".") if len(paths) == 1 else (paths[:-1],
                                                           paths[-1])
    for remote in remotes:
        absolute(remote)
    args.remotes, args.local = remotes, local
    if len(remotes) > 1 or args.recursive or local.endswith("/"):
        if os.path.exists(local) and not os.path.isdir(local):
            raise failed("local %s is not a directory" % local)
    elif not os.path.isdir(local):
        parent = os.path.dirname(local) or "."
        if not os.path.isdir(parent):
            raise failed("no such local directory: %s" % parent)


def _top(ctx):
    """(destination directory, local parts of the first level): the
    destination itself when the files go inside it, else its parent."""
    local = ctx.args.local
    if ctx.per_host_dir is not None:
        local = os.path.join(local, ctx.per_host_dir)
    into = (ctx.per_host_dir is not None or len(ctx.args.remotes) > 1
            or local.endswith("/") or os.path.isdir(local))
    if into:
        return local, None
    return os.path.dirname(local) or ".", (os.path.basename(local),)


def _plan(ctx, base, named):
    a = ctx.args
    plan = Plan({}, [], [], [])
    for remote in a.remotes:
        record = existing(ctx, remote)
        name = posixpath.basename(posixpath.normpath(remote))
        parts = named or ((name,) if name else ())
        if record["type"] != "dir":
            plan.files.append((remote, parts))
            continue
        if not a.recursive:
            raise refused("%s: %s is a directory (use -r)"
                          % (ctx.where, remote))
        tree = walk(ctx, posixpath.normpath(remote), parts,
                    record.get("mode"), a.follow_links, a.setid)
        plan.dirs.update(tree.dirs)
        for kept, more in zip(plan[1:], tree[1:]):
            kept += more
    for _, parts in plan.files:
        if os.path.isdir(os.path.join(base, *parts)):
            raise failed("local %s is a directory"
                         % shown(os.path.join(base, *parts)))
    return plan


def _get_one(ctx, dest, remote, parts):
    a = ctx.args
    local = dest.shown(parts)
    entry = {"remote": remote, "local": os.path.join(dest.path, *parts)}
    if dest.in_place(ctx.session, remote, parts):
        size = dest.held(parts, "")
        entry.update(size=size, offset=size, received=0, skipped=True,
                     verified=True)
        return entry, "%s already in place (%d bytes)" % (local, size)
    if a.dry_run:
        entry.update(received=0, skipped=False, dry_run=True)
        return entry, "%s -> %s: would fetch" % (shown(remote), local)
    held = dest.held(parts, transfer.PARTIAL_SUFFIX)
    progress = ctx.progress(shown(parts[-1]))
    try:
        with dest.directory(parts[:-1]) as fd:
            header = transfer.download(ctx.session, remote, parts[-1],
                                       verify=a.verify, progress=progress,
                                       on_verify=progress.verifying,
                                       dir_fd=fd)
    finally:
        progress.finish()
    bits = mode_bits(header.get("f_mode"), a.setid)
    if a.recursive and bits is not None:
        dest.chmod(parts, bits)
    size = header["f_size"]
    offset = held if held <= size else 0
    entry.update(size=size, offset=offset, received=size - offset,
                 mode=header.get("f_mode"), user=header.get("f_user"),
                 skipped=False, verified=a.verify)
    return entry, "%s -> %s: %d bytes received%s" % (
        shown(remote), local, size - offset,
        " (resumed at %d)" % offset if offset else "")


def _fill(ctx, dest, plan):
    lines, entries = list(plan.skipped), []
    for parts in plan.dirs:
        if ctx.args.dry_run:
            lines.append("%s/: directory" % dest.shown(parts))
        else:
            with dest.directory(parts):
                pass
    for remote, parts in plan.files:
        entry, line = _get_one(ctx, dest, remote, parts)
        entries.append(entry)
        lines.append(line)
    for parts, target in plan.links:
        if ctx.args.dry_run:
            lines.append("%s -> %s: link" % (dest.shown(parts), shown(target)))
        else:
            dest.link(parts, target)
            lines.append("%s -> %s: link recreated"
                         % (dest.shown(parts), shown(target)))
    if not ctx.args.dry_run:
        dest.finish_dirs(plan.dirs)
    return lines, entries


def get(ctx):
    a = ctx.args
    base, named = _top(ctx)
    plan = _plan(ctx, base, named)
    if named is None and not a.dry_run:
        os.makedirs(base, exist_ok=True)
    dest = Destination(base)
    try:
        lines, entries = _fill(ctx, dest, plan)
    finally:
        dest.close()
    received = sum(e["received"] for e in entries)
    if len(entries) == 1 and not a.recursive:
        return Outcome(entries[0], lines[-1], received)
    result = {"files": entries, "received": received}
    if plan.links or plan.skipped:
        result["links"] = [{"local": os.path.join(base, *p), "target": t}
                           for p, t in plan.links]
        result["skipped"] = plan.skipped
    return Outcome(result, "\n".join(lines), received)


OPTIONS = [
    arg("-L", "--follow-links", action="store_true",
        help="with -r: copy what remote links point to (default: recreate "
             "a link pointing inside the tree, skip any other)"),
    arg("--setid", action="store_true",
        help="with -r: apply set-user-ID, set-group-ID and sticky bits "
             "the agent reports (default: permission bits only)"),
]
