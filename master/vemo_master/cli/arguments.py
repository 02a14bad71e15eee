"""Command-line grammar of vemoctl, built from the commands' own
declarations. The global options are accepted anywhere on the line, before
or after the command, as kubectl does."""
import argparse
import os

from .. import __version__
from ..session import DEADLINE_WAITS, DEFAULT_MAX_REPLY
from .argtypes import (DEFAULT_PORT, port_number, positive_float,
                       positive_int, sha256_hex)
from .commands import COMMANDS
from .output import (EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_PIPE,
                     EXIT_REFUSED, EXIT_USAGE, UsageError)

DEFAULT_HOST = "127.0.0.1"
DEFAULT_TIMEOUT = 30.0
# Enough to keep a hundred agents' round trips overlapping; each running
# host holds a socket and a thread, little else.
DEFAULT_PARALLEL = 32

EPILOG = """\
exit codes:
  %d    success (with --hosts: every host succeeded)
  %d    failed: agent unreachable (also a relay target), timeout,
       connection lost, a local file missing or unwritable, transfer or
       SHA-1 mismatch, a mode, owner or directory that did not take
       (with --hosts: any host failed)
  %d    usage error
  %d    refused: the agent refused the key, answered the operation with a
       refusal, or the remote path is missing or of the wrong type, or its
       certificate is not the pinned one (with --hosts: any host refused,
       none failed)
  %d  interrupted (Ctrl-C); with --hosts each host's state is printed
  %d  stdout was closed (| head); nothing more is printed

key: the agent's public key, data/id_rsa.pub under its install directory.
  Default: --key, else $VEMO_KEY, else $XDG_CONFIG_HOME/vemo/id_rsa.pub
  (~/.config/vemo/id_rsa.pub) when present, else ./id_rsa.pub.

--json prints one JSON document on stdout, failures included:
  {"command", "host", "port", "ok", "status", "seconds", "bytes",
   "result"}  with "error" (a one-line message) in place of "result" when
  status is "failed", "refused" or "usage", and "agent_msg" (the agent's
  own text) with a refusal; with --hosts a list of such objects.

inventory (--hosts FILE): see docs/vemoctl.md. One agent per line,
  "host[:port] [keyfile] [port=N] [key=FILE] [fingerprint=HEX]", "[group]"
  lines open a group, "#" starts a comment; or YAML (FILE ending in .yml
  or .yaml). An Ansible inventory (ansible_host, vemo_port, vemo_key,
  vemo_fingerprint; host_vars/, group_vars/) is read with ansible-core
  when it is installed. --limit picks groups, hosts or fnmatch patterns,
  "&" keeps only hosts also in a group, "!" drops them ("web:&prod:!db");
  --list-hosts prints the selection. The command
  runs on up to --parallel agents at once; each host's result prints as it
  ends, a summary follows. "get" writes each host's copy to
  LOCAL/<host>_<port>/<name>.

certificates: the agent's certificate is self-signed, so vemoctl pins it
  on first use in $XDG_CONFIG_HOME/vemo/known_hosts (default
  ~/.config/vemo/known_hosts); a different certificate later is refused
  (exit %d), naming both fingerprints. After a deliberate change:
    vemoctl --host HOST --port PORT trust FINGERPRINT
  (or --hosts FILE --limit HOST trust [FINGERPRINT], the inventory's
  fingerprint by default). Fingerprints are shown as 64 lower-case hex
  digits; colons and upper case are accepted. The fingerprint of an
  agent's certificate:
    openssl x509 -in INSTALL_DIR/cert/certificate.pem -noout -fingerprint -sha256
  --fingerprint pins one explicitly and leaves the file alone; --insecure
  accepts any certificate, which lets a man in the middle read and replay
  the session.

"vemoctl COMMAND --help" shows what "result" holds for COMMAND.

KEY=VALUE arguments (plugin-call, task, relay) are request keys; a VALUE
  that parses as JSON is sent as that value, any other as a string.
""" % (EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_REFUSED, EXIT_INTERRUPTED,
       EXIT_PIPE, EXIT_REFUSED)

# (flags, options, default) of the options accepted anywhere.
GLOBAL_OPTIONS = [
    (("--host",), dict(help="agent address (default $VEMO_HOST, else %s)"
                       % DEFAULT_HOST), None),
    (("--port",), dict(type=port_number, help="agent port (default "
                       "$VEMO_PORT, else %d)" % DEFAULT_PORT), None),
    (("--key",), dict(help="agent's public key file (see key: below)"),
     None),
    (("--timeout",), dict(type=positive_float, metavar="S",
                          help="bound on connecting and on every network "
                               "wait, in seconds (default %g)"
                               % DEFAULT_TIMEOUT), DEFAULT_TIMEOUT),
    (("--deadline",), dict(type=positive_float, metavar="S",
                           help="bound on each request as a whole, however "
                                "slowly its answer arrives, in seconds "
                                "(default %d times --timeout)"
                                % DEADLINE_WAITS), None),
    (("--max-reply",), dict(type=positive_int, metavar="MIB",
                            help="largest answer accepted, in MiB once "
                                 "decompressed (default %d)"
                                 % (DEFAULT_MAX_REPLY >> 20)),
     DEFAULT_MAX_REPLY >> 20),
    (("--fingerprint",), dict(metavar="HEX", type=sha256_hex,
                              help="pin the SHA-256 of the agent's "
                                   "certificate instead of the known-hosts "
                                   "file"), None),
    (("--insecure",), dict(action="store_true",
                           help="accept any certificate (no pinning)"),
     False),
    (("--json",), dict(action="store_true",
                       help="print one JSON document on stdout"), False),
    (("--hosts",), dict(metavar="FILE",
                        help="run the command on every agent of the "
                             "inventory FILE"), None),
    (("--limit",), dict(metavar="PATTERN", action="append",
                        help="with --hosts: only these groups, hosts or "
                             "patterns (comma-separated, repeatable)"),
     None),
    (("--list-hosts",), dict(action="store_true",
                             help="with --hosts: print the hosts --limit "
                                  "selects and stop (no COMMAND needed)"),
     False),
    (("--parallel",), dict(type=positive_int, metavar="N",
                           help="agents served at once with --hosts "
                                "(default %d)" % DEFAULT_PARALLEL),
     DEFAULT_PARALLEL),
    (("--traceback",), dict(action="store_true",
                            help="re-raise unexpected errors with their "
                                 "traceback, for bug reports"), False),
]


class Parser(argparse.ArgumentParser):
    """Raises UsageError instead of exiting, so that --json can still
    print its document."""

    def error(self, message):
        raise UsageError(message, self)


def _add_globals(parser, top):
    group = parser.add_argument_group("global options") if top else parser
    for flags, options, default in GLOBAL_OPTIONS:
        # Below the top only what is given is set, so that a subparser's
        # default never hides a value given before the command; there the
        # options are accepted but left out of --help.
        if not top:
            options = dict(options, help=argparse.SUPPRESS)
        group.add_argument(*flags, default=default if top
                           else argparse.SUPPRESS, **options)


def _add_args(parser, declared):
    for flags, options in declared:
        parser.add_argument(*flags, **options)


class ParagraphFormatter(argparse.HelpFormatter):
    """Fills each paragraph of a description or epilog on its own."""

    def _fill_text(self, text, width, indent):
        return "\n\n".join(super(ParagraphFormatter, self)._fill_text(
            paragraph, width, indent) for paragraph in text.split("\n\n"))


GLOBAL_NOTE = ("global options (--host, --port, --key, --json, --hosts, "
               "...) go anywhere on the line: see vemoctl --help")


def generate_subparsers(root, commands, required=True):
    """One subparser per declaration, with its sub-actions."""
    sub = root.add_subparsers(dest="command", metavar="COMMAND",
                              parser_class=Parser)
    sub.required = required
    for command in commands:
        epilog = "--json result: " + command.result
        if command.notes:
            epilog += "\n\n" + command.notes
        epilog += "\n\n" + GLOBAL_NOTE
        p = sub.add_parser(command.name, help=command.help,
                           description=command.help, epilog=epilog,
                           formatter_class=ParagraphFormatter)
        p.set_defaults(handler=command)
        _add_args(p, command.args)
        if command.actions:
            actions = p.add_subparsers(dest="action", metavar="ACTION",
                                       parser_class=Parser)
            actions.required = True
            for name, (help_text, declared) in command.actions.items():
                q = actions.add_parser(name, help=help_text,
                                       description=help_text,
                                       epilog=GLOBAL_NOTE)
                _add_args(q, declared)
                _add_globals(q, top=False)
        _add_globals(p, top=False)


def build_parser(command_required=True):
    parser = Parser(
        prog="vemoctl", description="Drive vemo node agents.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version",
                        version="vemoctl " + __version__)
    _add_globals(parser, top=True)
    parser.set_defaults(handler=None)
    generate_subparsers(parser, COMMANDS, command_required)
    return parser


# Options whose value may itself start with "-" (--pip-args --no-index).
_FREE_TEXT = ("--pip-args",)


def glue_free_text(argv):
    """argv with "--pip-args X" as "--pip-args=X": argparse would take a
    value starting with "-" for an option of its own."""
    out, i = [], 0
    while i < len(argv):
        if argv[i] in _FREE_TEXT and i + 1 < len(argv):
            out.append(argv[i] + "=" + argv[i + 1])
            i += 2
        else:
            out.append(argv[i])
            i += 1
    return out


def _from_environment(args, environ):
    """--host and --port not given: $VEMO_HOST (without --hosts) and
    $VEMO_PORT, else the defaults."""
    args.host_given = bool(args.host or (
        not args.hosts and environ.get("VEMO_HOST")))
    if not args.hosts:
        args.host = args.host or environ.get("VEMO_HOST") or DEFAULT_HOST
    if args.port is None and environ.get("VEMO_PORT"):
        try:
            args.port = port_number(environ["VEMO_PORT"])
        except (ValueError, argparse.ArgumentTypeError):
            raise UsageError("$VEMO_PORT is not a port: %r"
                             % environ["VEMO_PORT"])
    args.port = args.port or DEFAULT_PORT


def parse(argv, environ=None):
    """The parsed arguments; UsageError for a grammar or combination that
    cannot make a request. `environ` (default os.environ) may name the
    agent ($VEMO_HOST, $VEMO_PORT)."""
    args = build_parser("--list-hosts" not in argv).parse_args(
        glue_free_text(argv))
    if args.insecure and args.fingerprint:
        raise UsageError("--fingerprint and --insecure exclude each other")
    if args.hosts and args.host:
        raise UsageError("--host and --hosts exclude each other")
    if args.limit and not args.hosts:
        raise UsageError("--limit needs --hosts")
    if args.list_hosts and not args.hosts:
        raise UsageError("--list-hosts needs --hosts")
    _from_environment(args, os.environ if environ is None else environ)
    return args
