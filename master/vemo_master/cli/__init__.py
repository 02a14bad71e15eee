"""vemoctl: the command-line master. `main()` is the console entry point;
`python3 -m vemo_master.cli` runs it too."""
import os
import sys

from .arguments import build_parser
from .commands import check_args
from .fleet import read_hosts, run_all
from .output import (EXIT_CODES, EXIT_INTERRUPTED, EXIT_USAGE, CommandError,
                     UsageError, address, error, overall_exit, print_json,
                     print_text, summary_table)
from .runner import Target, public, run
from .trust import check_trust, trust

__all__ = ["main"]


def _single(args):
    if args.command == "trust":
        document = trust(args)
    else:
        document = run(Target(args.host, args.port, args.key), args,
                       show_progress=True)
    if args.json:
        print_json(public(document))
    elif document["ok"]:
        print_text(document["text"])
    if not document["ok"]:
        error(document["error"])
    return EXIT_CODES[document["status"]]


def _fleet(args):
    targets = read_hosts(args.hosts, args.port, args.key)
    results = run_all(targets, args, args.parallel)
    if args.json:
        print_json([public(r) for r in results])
    else:
        for r in results:
            if r["ok"]:
                print_text(r["text"],
                           prefix=address(r["host"], r["port"]) + ": ")
        print_text(summary_table(results))
    for r in results:
        if not r["ok"]:
            error(r["error"])
    return overall_exit(results)


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        check_args(args)
        if args.command == "trust":
            check_trust(args)
        if args.hosts:
            return _fleet(args)
        return _single(args)
    except UsageError as exc:
        parser.print_usage(sys.stderr)
        error(str(exc))
        return EXIT_USAGE
    except CommandError as exc:
        error(exc.message)
        return EXIT_CODES[exc.status]
    except KeyboardInterrupt:
        error("interrupted")
        if args.hosts:
            # Hosts still transferring would otherwise hold the exit.
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(EXIT_INTERRUPTED)
        return EXIT_INTERRUPTED
