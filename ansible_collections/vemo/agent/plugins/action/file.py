"""vemo.agent.file: a directory made, or an existing path's mode and
owner set; read back."""
from ansible_collections.vemo.agent.plugins.module_utils.agent import (
    AgentAction, known, required)
from vemo_master.ensure import ensure_dir, settle


class ActionModule(AgentAction):
    def act(self, session, args):
        known(args, ("path", "state", "mode", "owner"))
        path, state = required(args, "path"), args.get("state", "file")
        mode, owner = args.get("mode"), args.get("owner")
        if state == "directory":
            change = ensure_dir(session, path, mode, owner, self.check)
        elif state == "file":
            change = settle(session, path, mode, owner, "file", self.check)
        else:
            raise ValueError("state must be directory or file (the agent "
                             "removes nothing): %r" % (state,))
        return self.changed(change, path=path, state=state)
