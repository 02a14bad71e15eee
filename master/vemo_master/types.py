"""Request message types, named after the agent operation they reach."""
import enum

from ._operations import OPERATIONS

MsgType = enum.IntEnum(
    "MsgType",
    [(name.upper(), number) for number, name in OPERATIONS]
    # The agent's operation carries the spelling PLUGIN_IS_ISNTALLED; the
    # alias is for callers.
    + [("PLUGIN_IS_INSTALLED", 11)],
    module=__name__)
