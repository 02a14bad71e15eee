"""How a command is declared: once, with its grammar, its --json result,
its local checks and what it asks of the agent. arguments.py builds the
parser from these declarations."""
import collections

Outcome = collections.namedtuple("Outcome", "result text bytes")
Outcome.__new__.__defaults__ = (0,)


def arg(*flags, **options):
    """One add_argument() call, kept for the parser builder."""
    return flags, options


class Command(object):
    """`run(ctx)` returns an Outcome; `check(args)` runs before any
    connection and raises UsageError or CommandError. `actions` maps the
    name of a sub-action to (help, [arg...])."""

    def __init__(self, name, help, run, args=(), result="", check=None,
                 actions=None, notes=None, connects=True):
        self.name = name
        self.help = help
        self.run = run
        self.args = list(args)
        self.result = result
        self.check = check
        self.actions = actions or {}
        self.notes = notes
        self.connects = connects
