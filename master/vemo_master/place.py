"""Files placed on an agent and fetched from it, reporting change: content
already in place is not sent again, an interrupted transfer resumes, and
what arrived is checked by SHA-1."""
import os
import posixpath
import re

from . import files, transfer
from .change import Change
from .ensure import mode_bits, seen, settle
from .errors import NotApplied

# What the upload header carries as an owner; any other account name
# ("www-data", "user.name") is set by the mode and owner operation.
HEADER_OWNER = re.compile(r"\w+")


def destination(session, local, remote):
    """Where `local` lands for `remote`, as scp decides: inside `remote`
    when it ends in "/" or is an existing directory, else at `remote`."""
    name = os.path.basename(local)
    if remote.endswith("/"):
        return remote + name
    record = files.stat(session, remote)
    if record is not None and record["type"] == "dir":
        return posixpath.join(remote, name)
    return remote


def _content(record, same):
    return None if record is None else dict(seen(record), size=record["size"],
                                            same_content=same)


def place(session, local, remote, mode=None, owner=None, check=False,
          sha1=None, verify=True, progress=None, on_verify=None):
    """Puts local file `local` at `remote` (a path or a directory) with
    `mode` and `owner` (each when given, applied whether or not content
    moved). `sha1`, when known, is the local file's digest; `verify`,
    `progress` and `on_verify` are passed on to transfer.upload(). The
    Change's before and after carry the remote path's type, mode, owner,
    size and whether its content was the local file's; its `transfer` is
    the upload's outcome when content moved."""
    path = destination(session, local, remote)
    digest = sha1 or files.local_sha1(local)
    bits = None if mode is None else mode_bits(mode)
    record = files.stat(session, path)
    if record is not None and record["type"] != "file":
        raise NotApplied("%s is a %s, not a file" % (path, record["type"]))
    same = record is not None and files.sha1_matches(session, path, digest)
    before = _content(record, same)
    if check:
        perms = None if record is None else settle(
            session, path, bits, owner, "file", check=True)
        after = dict(perms.after if perms else {
            "type": "file", "user": owner,
            "mode": None if bits is None else "%04o" % (bits & 0o777)},
            size=os.path.getsize(local), same_content=True)
        return Change(not same or perms.changed, before, after,
                      perms.note if perms else "")
    in_header = (bits is not None and owner is not None
                 and HEADER_OWNER.fullmatch(owner) is not None)
    directory, name = posixpath.split(path)
    sent = None
    if not same:
        sent = transfer.upload(session, local, directory, name,
                               "%o" % bits if in_header else None,
                               owner if in_header else None, verify=verify,
                               progress=progress, sha1=digest,
                               on_verify=on_verify)
    perms = settle(session, path, bits, owner, "file")
    after = _content(files.stat(session, path), True)
    return Change(not same or perms.changed, before, after, perms.note, sent)


def fetch(session, remote, local, check=False):
    """Fetches `remote` into `local` (a path, or an existing directory to
    hold it under the remote name), resuming an earlier partial copy.
    Nothing moves when the local file already has the remote content."""
    if os.path.isdir(local):
        local = os.path.join(local, posixpath.basename(remote))
    same = os.path.isfile(local) and files.sha1_matches(
        session, remote, files.local_sha1(local))
    before = {"path": local, "same_content": same} if os.path.exists(
        local) else None
    after = {"path": local, "same_content": True}
    if not same and not check:
        transfer.download(session, remote, local)
    return Change(not same, before, after)
