"""vemo.agent.reload: reload one module of the agent's own, or all of
them; always a change, skipped in check mode."""
from ansible_collections.vemo.agent.plugins.module_utils.agent import (
    AgentAction, known)
from vemo_master import extension


class ActionModule(AgentAction):
    def act(self, session, args):
        known(args, ("name",))
        if self.check:
            return {"changed": True}
        return {"changed": True,
                "answer": extension.reload_mod(session, args.get("name"))}
