"""vemo.agent.ping: connect, exchange the key, one heartbeat."""
from ansible_collections.vemo.agent.plugins.module_utils.agent import (
    AgentAction, known)


class ActionModule(AgentAction):
    def act(self, session, args):
        known(args, ())
        if not session.heartbeat():
            return {"failed": True, "msg": "unexpected heartbeat answer"}
        return {"ping": "pong"}
