"""vemo.agent.plugin: one call of an installed plugin's method. What a
method does is its own: a call is reported as a change, and skipped in
check mode."""
from ansible_collections.vemo.agent.plugins.module_utils.agent import (
    AgentAction, known, required)
from vemo_master import extension


class ActionModule(AgentAction):
    def act(self, session, args):
        known(args, ("name", "method", "args"))
        name, method = required(args, "name"), required(args, "method")
        if self.check:
            return {"changed": True, "skipped_call": True}
        answer = extension.plugin(session, name, method,
                                  **dict(args.get("args") or {}))
        return {"changed": True, "answer": answer}
