"""Directories, modes and owners brought to a wanted state and read back.

The agent's listing record carries the nine permission bits only
(rwxrwxrwx): setuid, setgid and sticky bits are applied when asked for
but cannot be read back, and each such result says so in its `note`."""
from . import files
from .change import Change
from .errors import NotApplied, Refused

SPECIAL_NOTE = ("setuid/setgid/sticky bits applied but not read back: the "
                "agent's listing carries the permission bits only")


def mode_bits(mode):
    """An octal mode given as text ("0755", "4755") or number, as bits."""
    bits = mode if isinstance(mode, int) else int(str(mode), 8)
    if not 0 <= bits <= 0o7777:
        raise ValueError("not a file mode: %r" % (mode,))
    return bits


def seen(record):
    """The part of a listing record a change is about, or None."""
    if record is None:
        return None
    return {"type": record["type"], "mode": "%04o" % int(str(record["mode"]), 8),
            "user": record["user"]}


def _wanted(before, mode, owner, kind):
    after = dict(before or {"type": kind, "mode": None, "user": None})
    if mode is not None:
        after["mode"] = "%04o" % (mode & 0o777)
    if owner is not None:
        after["user"] = owner
    return after


def _agrees(state, wanted):
    """Whether `state` has every value `wanted` asks for (None: any)."""
    return state is not None and all(
        value is None or state[key] == value for key, value in wanted.items())


def _differences(state, wanted):
    """What of `wanted` `state` lacks, in words ("owner is root, not www")."""
    if state is None:
        return "it is missing"
    names = {"type": "it is a", "mode": "mode is", "user": "owner is"}
    return "; ".join("%s %s, not %s" % (names[key], state[key], value)
                     for key, value in wanted.items()
                     if value is not None and state[key] != value)


def _check_kind(path, record, kind):
    if kind is not None and record is not None and record["type"] != kind:
        raise NotApplied("%s is a %s, not a %s" % (path, record["type"], kind))


def settle(session, path, mode=None, owner=None, kind=None, check=False,
           create=False):
    """Brings `path` to `mode` and `owner` (each when given); with
    `create`, a missing directory is made with its parents. Refused when
    the path is missing otherwise, NotApplied when it is not of type
    `kind` or reads back otherwise."""
    bits = None if mode is None else mode_bits(mode)
    note = SPECIAL_NOTE if bits is not None and bits & 0o7000 else ""
    before = seen(files.stat(session, path))
    _check_kind(path, before, kind)
    if before is None and not create:
        raise Refused("no such path: %s" % path)
    wanted = _wanted(before, bits, owner, kind)
    changed = not _agrees(before, wanted)
    if check:
        return Change(changed, before, wanted, note)
    text_mode = None if bits is None else "%o" % bits
    if before is None:
        files.make_dir(session, path, text_mode, owner)
    elif changed or note:
        files.set_mode(session, path,
                       text_mode if wanted["mode"] != before["mode"] or note
                       else None,
                       owner if wanted["user"] != before["user"] else None)
    after = seen(files.stat(session, path))
    if not _agrees(after, wanted):
        raise NotApplied("%s unchanged: %s" % (path, _differences(after,
                                                                  wanted)))
    return Change(changed, before, after, note)


def ensure_dir(session, path, mode=None, owner=None, check=False):
    """A directory at `path` (parents made too) with `mode` and `owner`."""
    return settle(session, path, mode, owner, "dir", check, create=True)


def ensure_mode(session, path, mode, check=False):
    """`path` (which must exist) with mode `mode`."""
    return settle(session, path, mode=mode, check=check)


def ensure_owner(session, path, owner, check=False):
    """`path` (which must exist) owned by account `owner`."""
    return settle(session, path, owner=owner, check=check)
