"""vemo.agent.copy: a controller file placed on the agent, resumed and
verified by SHA-1, with mode and owner."""
from ansible_collections.vemo.agent.plugins.module_utils.agent import (
    AgentAction, known, required)
from ansible_collections.vemo.agent.plugins.module_utils.digests import (
    sha1_once)
from vemo_master import place


class ActionModule(AgentAction):
    def act(self, session, args):
        known(args, ("src", "dest", "mode", "owner"))
        src = self._find_needle("files", required(args, "src"))
        digest = sha1_once(src)
        change = place(session, src, required(args, "dest"),
                       mode=args.get("mode"), owner=args.get("owner"),
                       check=self.check, sha1=digest)
        return self.changed(change, src=src, dest=args["dest"],
                            checksum=digest)
