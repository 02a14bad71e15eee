"""Writes the table of docs/host.md from the agent's one door into the host
(src/common/host.hpp): every call, the threads that may make it and its C++
form.  `make build` runs it; the test suite runs it with --check.

    host_contract.py [--root DIR] [--check]

--check writes nothing and exits 1 when the table is stale, or when a call
into one of the host's modules names something the stand-ins in host/ do
not define.
"""
import argparse
import ast
import pathlib
import re
import sys

REPO = pathlib.Path(__file__).resolve().parents[1]
HEADER_FILE = pathlib.Path("src", "common", "host.hpp")
DOC_FILE = pathlib.Path("docs", "host.md")
STAND_INS = pathlib.Path("host")
TABLE_HEADER = "| host call | threads | C++ call (`vemo::host`) | notes |\n|---|---|---|---|\n"
TAG = re.compile(r"^\s*// host: (?P<call>[^|]+?) \| threads: (?P<threads>.+?)\s*$")
CLASS = re.compile(r"^class (\w+) \{")


def declaration(lines, start):
    """The text of the declaration from `start` up to its body or `;`, and
    the comment lines above it."""
    notes = []
    while lines[start].strip().startswith("//"):
        notes.append(lines[start].strip()[2:].strip())
        start += 1
    text = ""
    for line in lines[start:]:
        text += " " + line.strip()
        if "{" in line or line.rstrip().endswith(";"):
            break
    text = re.split(r"\{|;", text, maxsplit=1)[0]
    text = re.sub(r"\s+", " ", text).strip()
    text = re.sub(r"\s*:\s*\w+_\(.*$", "", text)  # a constructor's initialiser
    text = re.sub(r"^(static|inline|explicit) ", "", text)
    return text.removesuffix(" const"), " ".join(notes)


def calls(header_text):
    """(call, threads, C++ form, notes) for every tagged declaration."""
    lines = header_text.splitlines()
    found, owner = [], None
    for i, line in enumerate(lines):
        if CLASS.match(line):
            owner = CLASS.match(line).group(1)
        elif line.startswith("};"):
            owner = None
        tag = TAG.match(line)
        if not tag:
            continue
        text, notes = declaration(lines, i + 1)
        signature = re.match(r"^(?:(?P<result>.+?) )?(?P<name>\w+)\((?P<args>.*)\)$", text)
        if not signature:
            raise SystemExit(f"{HEADER_FILE}:{i + 2}: cannot read the declaration {text!r}")
        name = signature["name"]
        if owner is not None and name != owner:
            name = f"{owner}::{name}"
        result = f" → `{signature['result']}`" if signature["result"] else ""
        form = f"`{name}({signature['args']})`{result}"
        found.append((tag["call"], tag["threads"], form, notes))
    return found


def defined_names(path):
    """Top-level names of a stand-in, and for each class its methods."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    names[target.id] = set()
    return names


def missing_in_stand_ins(root, found):
    """Calls into a module of host/ naming what that stand-in lacks."""
    missing = []
    for call, *_ in found:
        parts = call.split(".")
        stand_in = root / STAND_INS / (parts[0] + ".py")
        if not stand_in.exists():
            continue
        names = defined_names(stand_in)
        if len(parts) < 2 or parts[1] not in names or (len(parts) > 2 and parts[2] not in names[parts[1]]):
            missing.append(call)
    return missing


def doc_text(current, found):
    rows = "".join(f"| `{call}` | {threads} | {form} | {notes} |\n" for call, threads, form, notes in found)
    if TABLE_HEADER not in current:
        raise SystemExit(f"{DOC_FILE} lacks the table header {TABLE_HEADER!r}")
    before, after = current.split(TABLE_HEADER, 1)
    rest = after.split("\n\n", 1)[1] if "\n\n" in after else ""
    return before + TABLE_HEADER + rows + ("\n" + rest if rest else "")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", type=pathlib.Path, default=REPO)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    found = calls((args.root / HEADER_FILE).read_text(encoding="utf-8"))
    doc = args.root / DOC_FILE
    current = doc.read_text(encoding="utf-8")
    wanted = doc_text(current, found)
    if args.check:
        problems = [f"{call}: not defined in {STAND_INS}/" for call in missing_in_stand_ins(args.root, found)]
        if wanted != current:
            problems.append(f"{DOC_FILE} is stale: run tools/host_contract.py")
        for problem in problems:
            print(problem, file=sys.stderr)
        return 1 if problems else 0
    if wanted != current:
        doc.write_text(wanted, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
