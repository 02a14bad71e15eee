"""Writes what derives from the agent's table of message types
(src/client/core/operations.hpp): the master's list of types and the rows of
the "Message types" and "How each type fails" tables in docs/protocol.md.  `make build` runs it after
compiling; both outputs stay committed, since the master is installed on
machines without the agent's sources.

    generate_operations.py [--build DIR] [--root DIR] [--check]

--check writes nothing and exits 1 naming every stale file.  A file is
written only when its content changes, so rebuilds leave timestamps alone.
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile

REPO = pathlib.Path(__file__).resolve().parents[1]
MASTER_FILE = pathlib.Path("master", "vemo_master", "_operations.py")
DOC_FILE = pathlib.Path("docs", "protocol.md")
DOC_HEADER = "| type | operation | request | reply |\n|---|---|---|---|\n"
FAILS_HEADER = ("| type | refusal as a result (`\"status\": false`) | refusal as a bare code "
                "| failure report, or no reply |\n|---|---|---|---|\n")


def built_operations(build):
    """`client.operations` of the modules built in `build`.  Importing the
    module enters a server root and loads the host modules from it, so it is
    imported from a scratch install."""
    with tempfile.TemporaryDirectory() as root:
        subprocess.run(["cmake", "--install", str(build), "--prefix", os.path.join(root, "vemo")],
                       check=True, stdout=subprocess.DEVNULL)
        env = dict(os.environ, VEMO_SERVER_ROOT=root)
        env.pop("PYTHONPATH", None)
        proc = subprocess.run(
            [sys.executable, "-c", "import json, client; print(json.dumps(client.operations))"],
            cwd=os.path.join(root, "vemo", "client-side"), env=env,
            check=True, capture_output=True, text=True)
    # The host modules may print while loading: the answer is the last line.
    return json.loads(proc.stdout.splitlines()[-1])


def master_module(operations):
    pairs = "".join('    (%d, "%s"),\n' % (number, name) for number, name, *_ in operations)
    return ('# Generated from src/client/core/operations.hpp by `make build`; do not edit.\n'
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
    types = [cells(str(number), "`%s`" % name, request, reply)
             for number, name, _keys, request, reply, *_ in operations]
    fails = [cells(str(number), refused, code, failure)
             for number, _name, _keys, _request, _reply, refused, code, failure in operations]
    return with_rows(with_rows(current, DOC_HEADER, types), FAILS_HEADER, fails)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=pathlib.Path, default=REPO / "build",
                        help="the build directory of the modules (default: build)")
    parser.add_argument("--root", type=pathlib.Path, default=REPO,
                        help="the tree holding master/ and docs/ (default: this repository)")
    parser.add_argument("--check", action="store_true",
                        help="write nothing; exit 1 if a file is stale")
    args = parser.parse_args()

    operations = built_operations(args.build.resolve())
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
