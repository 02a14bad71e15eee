"""Writes what derives from the agent's table of message types
(src/client/core/operations/*.json, read as operation_table.py describes):
the master's list of types and the rows of the "Message types" and "How
each type fails" tables in docs/protocol.md.  It reads the data alone,
without building anything; `make build` runs it.  Both outputs stay
committed, since the master is installed on machines without the agent's
sources.

    generate_operations.py [--data DIR] [--root DIR] [--check]

--check writes nothing and exits 1 naming every stale file.  A file is
written only when its content changes, so rebuilds leave timestamps alone.
"""
import argparse
import pathlib
import sys

import operation_table

REPO = pathlib.Path(__file__).resolve().parents[1]
MASTER_FILE = pathlib.Path("master", "vemo_master", "_operations.py")
DOC_FILE = pathlib.Path("docs", "protocol.md")
DOC_HEADER = "| type | operation | request | reply |\n|---|---|---|---|\n"
FAILS_HEADER = ("| type | refusal as a result (`\"status\": false`) | refusal as a bare code "
                "| failure report, or no reply |\n|---|---|---|---|\n")


def master_module(operations):
    pairs = "".join('    (%d, "%s"),\n' % (e["type"], e["name"]) for e in operations)
    return ('# Generated from src/client/core/operations/ by `make build`; do not edit.\n'
            '"""(type, operation) of every message type the agent dispatches."""\n'
            "OPERATIONS = (\n%s)\n" % pairs)


def cells(*texts):
    """A table row; an empty text is an empty cell."""
    return "|%s|" % "|".join(" %s " % text if text else " " for text in texts)


def with_rows(current, header, rows):
    """`current` with the rows of the one table headed `header` replaced."""
    if current.count(header) != 1:
        sys.exit("%s: expected one table headed %r" % (DOC_FILE, header.splitlines()[0]))
    before, after = current.split(header)
    return before + header + "\n".join(rows) + after[after.index("\n\n"):]


def protocol_doc(current, operations):
    """`current` with the rows of its message-type table and of its table
    of how each type fails replaced."""
    types = [cells(str(e["type"]), "`%s`" % e["name"], e["request"], e["reply"]) for e in operations]
    fails = [cells(str(e["type"]), e["refused"], e["code"], e["failure"]) for e in operations]
    return with_rows(with_rows(current, DOC_HEADER, types), FAILS_HEADER, fails)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", type=pathlib.Path, default=operation_table.FOLDER,
                        help="the folder of the table's data (default: src/client/core/operations)")
    parser.add_argument("--root", type=pathlib.Path, default=REPO,
                        help="the tree holding master/ and docs/ (default: this repository)")
    parser.add_argument("--check", action="store_true",
                        help="write nothing; exit 1 if a file is stale")
    args = parser.parse_args()

    try:
        operations = operation_table.load(args.data)
    except operation_table.TableError as exc:
        sys.exit(str(exc))
    doc_path = args.root / DOC_FILE
    wanted = {
        args.root / MASTER_FILE: master_module(operations),
        doc_path: protocol_doc(doc_path.read_text(encoding="utf-8"), operations),
    }
    stale = [path for path, text in wanted.items()
             if not path.exists() or path.read_text(encoding="utf-8") != text]
    for path in stale:
        if args.check:
            print("%s is stale: run `make build`" % path)
        else:
            path.write_text(wanted[path], encoding="utf-8")
            print("wrote %s" % path)
    return 1 if args.check and stale else 0


if __name__ == "__main__":
    sys.exit(main())
