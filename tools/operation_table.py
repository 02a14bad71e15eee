"""The agent's table of message types, read from its data: one JSON file per
type in src/client/core/operations/, named after the operation the type
reaches.  The build generates the C++ table from it (operation_header.py)
and generate_operations.py the master's list and the protocol doc's rows.

Each file holds an object:
  type      the number on the wire; the files number 0, 1, 2, ... without gaps
  handler   the function serving it ("files::on_file", or "Agent::on_password"
            for a method of the agent), or null with
  unbound   why no function of the common signature serves it
  payload   "object" when the handler takes any object (the panel calls it
            too); left out, it takes the frame's bytes
  host_code true when serving it runs the host's own modules, which keep
            to one thread (left out: false)
  keys      the keys of the JSON object the handler reads (the fuzzer
            builds its requests from them)
  request, reply                  the protocol doc's columns, in Markdown
  refused, code, failure          its "How each type fails" columns; an
                                  empty text is an empty cell
"""
import json
import pathlib

FOLDER = pathlib.Path(__file__).resolve().parents[1] / "src" / "client" / "core" / "operations"
TEXTS = ("request", "reply", "refused", "code", "failure")
REQUIRED = {"type": int, "handler": (str, type(None)), "keys": list, **{t: str for t in TEXTS}}
OPTIONAL = {"unbound": str, "payload": str, "host_code": bool}


class TableError(Exception):
    pass


def checked(path, entry):
    """`entry` with the operation's name and the defaults filled in, or
    TableError naming the file and what is wrong with it."""
    def fail(why):
        raise TableError("%s: %s" % (path, why))

    if not isinstance(entry, dict):
        fail("not a JSON object")
    for field in sorted(set(entry) - set(REQUIRED) - set(OPTIONAL)):
        fail("unknown field %r" % field)
    for field, kind in {**REQUIRED, **OPTIONAL}.items():
        if field not in entry:
            if field in REQUIRED:
                fail("missing %r" % field)
        elif not isinstance(entry[field], kind) or (kind is int and isinstance(entry[field], bool)):
            fail("%r has the wrong JSON type" % field)
    if not all(isinstance(key, str) for key in entry["keys"]):
        fail("'keys' must hold strings")
    if (entry["handler"] is None) != ("unbound" in entry):
        fail("give either a 'handler' or, with a null handler, why it is 'unbound'")
    if entry.get("payload", "bytes") not in ("bytes", "object"):
        fail("'payload' is \"bytes\" or \"object\"")
    return dict(entry, name=path.stem, payload=entry.get("payload", "bytes"),
                host_code=entry.get("host_code", False))


def load(folder=FOLDER):
    """Every entry, ordered by type."""
    entries = []
    for path in sorted(pathlib.Path(folder).glob("*.json")):
        try:
            entry = json.loads(path.read_text(encoding="utf-8"))
        except ValueError as exc:
            raise TableError("%s: %s" % (path, exc)) from None
        entries.append(checked(path, entry))
    entries.sort(key=lambda e: e["type"])
    numbers = [e["type"] for e in entries]
    if numbers != list(range(len(entries))):
        raise TableError("%s: the types must number 0, 1, 2, ... once each, not %s" % (folder, numbers))
    return entries
