"""vemoctl: the command-line master. `main(argv)` runs one command line
in-process and returns its exit code; `python3 -m vemo_master.cli` and the
console entry point run it on sys.argv."""
import os
import sys

from .arguments import parse
from .fleet import Board, run_all
from .inventory import read_inventory
from .commands import COMMANDS
from .output import (EXIT_CODES, EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK,
                     EXIT_PIPE, EXIT_USAGE, CommandError, UsageError, address,
                     error, overall_exit, print_json, print_text,
                     summary_table)
from .runner import Target, public, run

__all__ = ["main"]

COMMAND_NAMES = {command.name for command in COMMANDS}


def default_key():
    """$VEMO_KEY, else the key in the config directory when present, else
    ./id_rsa.pub."""
    if os.environ.get("VEMO_KEY"):
        return os.path.expanduser(os.environ["VEMO_KEY"])
    base = os.environ.get("XDG_CONFIG_HOME", "")
    if not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".config")
    configured = os.path.join(base, "vemo", "id_rsa.pub")
    return configured if os.path.isfile(configured) else "./id_rsa.pub"


def _interrupted_document(args):
    return {"command": args.command, "host": args.host, "port": args.port,
            "ok": False, "status": "interrupted", "error": "interrupted"}


def _single(args):
    try:
        target = Target(args.host, args.port, args.key)
        if not args.handler.connects:
            document = args.handler.run(args, target)
        else:
            document = run(target, args, show_progress=True)
    except KeyboardInterrupt:
        if args.json:
            print_json(_interrupted_document(args))
        raise
    if args.json:
        print_json(public(document))
    elif document["ok"]:
        print_text(document["text"])
    if not document["ok"]:
        error(document["error"])
    return EXIT_CODES[document["status"]]


def _fleet(args, targets):
    board = Board(len(targets), quiet=args.json)
    try:
        if args.handler.connects:
            results = run_all(targets, args, board)
        else:
            results = [args.handler.run(args, t) for t in targets]
            for index, document in enumerate(results):
                board.ended(index, document)
    except KeyboardInterrupt:
        states = board.states(targets)
        if args.json:
            print_json([public(s) for s in states])
        else:
            print_text(summary_table(states), stream=sys.stderr)
        raise
    if args.json:
        print_json([public(r) for r in results])
    else:
        print_text(summary_table(results))
    return overall_exit(results)


def _list_hosts(args, targets):
    if args.json:
        print_json([{"host": t.host, "port": t.port, "key": t.key_path,
                     "fingerprint": t.fingerprint} for t in targets])
    else:
        print_text("\n".join(address(t.host, t.port) for t in targets))
    return EXIT_OK


def _usage_document(argv, message):
    command = next((a for a in argv if a in COMMAND_NAMES), None)
    return {"command": command, "ok": False, "status": "usage",
            "error": message}


def _run(argv):
    try:
        args = parse(argv)
        args.key = os.path.expanduser(args.key or default_key())
        if args.handler is not None and args.handler.check is not None:
            args.handler.check(args)
        targets = args.hosts and read_inventory(
            args.hosts, args.port, args.key).select(args.limit)
    except UsageError as exc:
        if "--json" in argv:
            print_json(_usage_document(argv, str(exc)))
        elif exc.parser is not None:
            exc.parser.print_usage(sys.stderr)
        error(str(exc))
        return EXIT_USAGE
    except CommandError as exc:
        if "--json" in argv:
            print_json({"command": args.command, "host": args.host,
                        "port": args.port, "ok": False, "status": exc.status,
                        "error": exc.message})
        error(exc.message)
        return EXIT_CODES[exc.status]
    if args.list_hosts:
        return _list_hosts(args, targets)
    if targets:
        return _fleet(args, targets)
    return _single(args)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        return _run(argv)
    except SystemExit as exc:   # --help, --version
        return exc.code or 0
    except BrokenPipeError:
        # The reader went away (| head): say nothing more, anywhere.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_PIPE
    except KeyboardInterrupt:
        error("interrupted")
        if "--hosts" in " ".join(argv):
            # Hosts still transferring would otherwise hold the exit.
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(EXIT_INTERRUPTED)
        return EXIT_INTERRUPTED
    except Exception as exc:
        if "--traceback" in argv:
            raise
        error("internal error: %s: %s (run again with --traceback for a "
              "bug report)" % (type(exc).__name__, exc))
        return EXIT_FAILED
