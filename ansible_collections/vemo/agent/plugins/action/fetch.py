"""vemo.agent.fetch: a file of the agent fetched to the controller, to
dest/<inventory_hostname>/<src> as Ansible's fetch does, or to dest
itself with flat."""
import os

from ansible.module_utils.parsing.convert_bool import boolean

from ansible_collections.vemo.agent.plugins.module_utils.agent import (
    AgentAction, known, required)
from vemo_master import fetch


class ActionModule(AgentAction):
    def act(self, session, args):
        known(args, ("src", "dest", "flat"))
        src, dest = required(args, "src"), required(args, "dest")
        if boolean(args.get("flat", False)):
            if dest.endswith("/"):
                dest = os.path.join(dest, os.path.basename(src))
        else:
            dest = os.path.join(dest, self.task_vars["inventory_hostname"],
                                src.lstrip("/"))
        if not self.check:
            os.makedirs(os.path.dirname(dest) or ".", exist_ok=True)
        change = fetch(session, src, dest, check=self.check)
        return self.changed(change, src=src, dest=dest)
