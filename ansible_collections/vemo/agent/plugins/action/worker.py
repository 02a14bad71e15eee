"""vemo.agent.worker: a worker of the agent's registry running, or not
recorded."""
from ansible.module_utils.parsing.convert_bool import boolean

from ansible_collections.vemo.agent.plugins.module_utils.agent import (
    AgentAction, known, required)
from vemo_master import ensure_worker


class ActionModule(AgentAction):
    def act(self, session, args):
        known(args, ("module", "name", "state", "args", "save"))
        module = required(args, "module")
        change = ensure_worker(session, module, args.get("state", "started"),
                               name=args.get("name"), args=args.get("args"),
                               save=boolean(args.get("save", True)),
                               check=self.check)
        return self.changed(change, module=module)
