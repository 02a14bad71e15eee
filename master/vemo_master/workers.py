"""Workers of the agent's registry brought to a wanted state."""
from . import extension
from .change import Change
from .errors import Refused

# The registry's answer to a start of a worker that is already running.
ALREADY_RUNNING = "请不要重复创建线程!"


def listed(session, module):
    """The registry's entry for worker module `module`, or None."""
    for entry in extension.warden(session, "get_thread_list"):
        if isinstance(entry, dict) and entry.get("module") == module:
            return entry
    return None


def _state(entry):
    return None if entry is None else {"running": bool(entry.get("running")),
                                       "saved": not entry.get("tmp")}


def ensure_worker(session, module, state="started", name=None, args=None,
                  save=True, check=False):
    """Worker `module` running (state "started"; recorded for agent starts
    with `save`) or not recorded (state "absent"). A start the registry
    answers with "already running" is no change. The agent cannot stop a
    running thread: "absent" drops the record, and the thread runs on
    (listed as temporary) until it ends."""
    if state not in ("started", "absent"):
        raise ValueError("state must be started or absent: %r" % (state,))
    before = _state(listed(session, module))
    if state == "absent":
        if before is None or not before["saved"]:
            return Change(False, before, before)
        if not check:
            extension.warden(session, "remove_thread", module=module)
        return Change(True, before, _state(listed(session, module)))
    if before is not None and before["running"]:
        return Change(False, before, before)
    after = {"running": True, "saved": save}
    if not check:
        try:
            extension.warden(
                session, "create_thread" if save else "create_tmp_thread",
                name=name or module, module=module,
                args={} if args is None else args)
        except Refused as exc:
            if exc.msg != ALREADY_RUNNING:
                raise
            return Change(False, before, after)
    return Change(True, before, after)
