"""What every vemo.agent action shares: the host's session from its
variables, check and diff mode, and the mapping of the library's errors
to task results (an agent that cannot be reached is unreachable)."""
import os

from ansible.plugins.action import ActionBase

from vemo_master import Session, Unreachable, VemoError

DEFAULT_PORT = 8899
DEFAULT_TIMEOUT = 30.0


def _key(variables):
    pem = variables.get("vemo_key_pem")
    if pem:
        return pem.encode("utf-8") if isinstance(pem, str) else pem
    path = variables.get("vemo_key")
    if not path:
        raise ValueError("set vemo_key (the agent's public key file) or "
                         "vemo_key_pem for this host")
    with open(os.path.expanduser(path), "rb") as f:
        return f.read()


def session_for(variables, host):
    """A connected, keyed session with the agent of one host; pinned to
    vemo_fingerprint when set, else to the certificate seen first."""
    session = Session(host, int(variables.get("vemo_port", DEFAULT_PORT)),
                      _key(variables),
                      timeout=float(variables.get("vemo_timeout",
                                                  DEFAULT_TIMEOUT)),
                      fingerprint=variables.get("vemo_fingerprint") or None)
    session.connect()
    try:
        session.exchange_key()
    except BaseException:
        session.close()
        raise
    return session


class AgentAction(ActionBase):
    """An action run against one agent: subclasses define act(session,
    args), returning the task's result; `check` and `diff` tell the
    modes."""

    _supports_check_mode = True
    _supports_async = False
    TRANSFERS_FILES = False
    VARIABLES = ("ansible_host", "vemo_port", "vemo_key", "vemo_key_pem",
                 "vemo_fingerprint", "vemo_timeout")

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        task_vars = task_vars or {}
        variables = {name: self._templar.template(task_vars[name])
                     for name in self.VARIABLES if name in task_vars}
        host = variables.get("ansible_host") or task_vars.get(
            "inventory_hostname")
        self.check = bool(self._task.check_mode or
                          self._play_context.check_mode)
        self.diff = bool(self._task.diff or self._play_context.diff)
        self.task_vars = task_vars
        try:
            session = session_for(variables, host)
        except Unreachable as exc:
            return dict(result, unreachable=True, changed=False, msg=str(exc))
        except (VemoError, OSError, ValueError) as exc:
            return dict(result, failed=True, changed=False, msg=str(exc))
        try:
            result.update(self.act(session, dict(self._task.args)))
        except (VemoError, OSError, ValueError) as exc:
            result.update(failed=True, msg=str(exc))
        finally:
            session.close()
        result.setdefault("changed", False)
        return result

    def changed(self, change, **shown):
        """The task result of a library Change, with a diff when asked."""
        result = dict(shown, changed=change.changed)
        if change.note:
            result["warnings"] = [change.note]
        if self.diff and change.changed:
            result["diff"] = {"before": change.before or {},
                              "after": change.after or {}}
        return result


def required(args, name):
    if args.get(name) in (None, ""):
        raise ValueError("missing required option: %s" % name)
    return args[name]


def known(args, names):
    """Refuses options this action does not know (a typo otherwise does
    nothing)."""
    unknown = sorted(set(args) - set(names))
    if unknown:
        raise ValueError("unsupported options: %s" % ", ".join(unknown))
