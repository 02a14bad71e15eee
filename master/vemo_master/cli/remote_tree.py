"""The remote side of a recursive get: a directory tree walked listing by
listing. Names from the agent are data: one that is not a plain file name
refuses the whole get before anything is written. Links are not followed:
one that points inside the tree is recreated as a relative link, any other
is reported and skipped; with `follow` they are walked as what they point
to, a link back to a directory already walked excepted."""
import collections
import posixpath

from .. import files
from .local_tree import mode_bits, plain_name
from .output import refused, shown

# Links followed on one path at most, as the kernel's own bound.
MAX_FOLLOWED = 40

Plan = collections.namedtuple("Plan", "dirs files links skipped")


def _inside(path, top):
    return path == top or path.startswith(top.rstrip("/") + "/")


class _Walk(object):
    def __init__(self, ctx, top, parts, top_mode, follow, setid):
        self.ctx = ctx
        self.top = top
        self.follow = follow
        self.setid = setid
        self.plan = Plan({}, [], [], [])
        self.seen = {top}
        # (remote dir, its path with links resolved by name, local parts,
        # mode, links followed to get there)
        self.pending = [(top, top, parts, top_mode, 0)]

    def _name(self, remote_dir, record):
        name = record.get("name")
        if not plain_name(name):
            raise refused("%s: refusing the remote name %s in %s: not a "
                          "plain file name" % (self.ctx.where, shown(
                              repr(name)), shown(remote_dir)))
        return name

    def _link(self, kind, record, here, real, parts, followed):
        remote = posixpath.join(here, record["name"])
        resolved = posixpath.normpath(posixpath.join(real, record["link"]))
        if not self.follow:
            if _inside(resolved, self.top):
                self.plan.links.append(
                    (parts, posixpath.relpath(resolved, real)))
            else:
                self.plan.skipped.append(
                    "%s -> %s: link leading out of the tree, skipped "
                    "(--follow-links copies what it points to)"
                    % (shown(remote), shown(record["link"])))
            return
        if kind == "file":
            self.plan.files.append((remote, parts))
        elif resolved in self.seen or followed >= MAX_FOLLOWED:
            self.plan.skipped.append(
                "%s -> %s: link back into the walk, skipped"
                % (shown(remote), shown(record["link"])))
        else:
            self.seen.add(resolved)
            self.pending.append((remote, resolved, parts,
                                 record.get("mode"), followed + 1))

    def run(self):
        while self.pending:
            here, real, parts, mode, followed = self.pending.pop()
            listing = files.list_dir(self.ctx.session, here)
            self.plan.dirs[parts] = mode_bits(mode, self.setid)
            for kind in ("files", "dirs"):
                for record in sorted(listing[kind], key=lambda r: str(
                        r.get("name")), reverse=kind == "dirs"):
                    self._entry(kind, record, here, real, parts, followed)
        return self.plan

    def _entry(self, kind, record, here, real, parts, followed):
        name = self._name(here, record)
        sub = parts + (name,)
        if isinstance(record.get("link"), str) and record["link"]:
            self._link(kind[:-1], record, here, real, sub, followed)
        elif kind == "files":
            self.plan.files.append((posixpath.join(here, name), sub))
        else:
            path = posixpath.join(real, name)
            self.seen.add(path)
            self.pending.append((posixpath.join(here, name), path, sub,
                                 record.get("mode"), followed))


def walk(ctx, top, parts, top_mode, follow=False, setid=False):
    """The Plan of the tree at remote `top`, copied to local `parts`:
    dirs {parts: mode bits or None}, files [(remote, parts)], links
    [(parts, target)], skipped [line]."""
    return _Walk(ctx, top, parts, top_mode, follow, setid).run()
