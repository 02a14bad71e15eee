"""Every command vemoctl knows, in the order of its help."""
from . import cmd_agent, cmd_files, cmd_transfer, trust

COMMANDS = (cmd_agent.COMMANDS[:1] + cmd_files.COMMANDS
            + cmd_transfer.COMMANDS + cmd_agent.COMMANDS[1:]
            + [trust.COMMAND])
