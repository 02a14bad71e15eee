"""vemo.agent.pip: packages of the agent's private environment."""
from ansible_collections.vemo.agent.plugins.module_utils.agent import (
    AgentAction, known, required)
from vemo_master import pip_install, pip_remove


class ActionModule(AgentAction):
    def act(self, session, args):
        known(args, ("name", "state", "extra_args"))
        name, state = required(args, "name"), args.get("state", "present")
        if state not in ("present", "absent"):
            raise ValueError("state must be present or absent: %r" % state)
        ensure = pip_install if state == "present" else pip_remove
        change = ensure(session, name, args.get("extra_args"), self.check)
        return self.changed(change, name=name, state=state)
