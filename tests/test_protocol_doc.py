"""The message-type table of docs/protocol.md and the master's MsgType
against the table the agent's frame reader dispatches on, so that no type
can be added, renamed or dropped on one side only."""
import json
import re

from harness import REPO
from vemo_master.types import MsgType


def documented_operations():
    """{type: operation} from the rows of the "Message types" table."""
    text = (REPO / "docs" / "protocol.md").read_text(encoding="utf-8")
    section = text.split("\n## Message types\n", 1)[1].split("\n## ", 1)[0]
    rows = re.findall(r"^\| (\d+) \| `(\w+)` \|", section, re.M)
    types = [int(t) for t, _ in rows]
    assert len(types) == len(set(types)), "a type is documented twice: %s" % types
    return {int(t): name for t, name in rows}


def test_doc_and_master_agree_with_the_agents_operations(py):
    out = py("import json, client; print(json.dumps(client.operations))").stdout
    operations = {t: name for t, name, *_ in json.loads(out.splitlines()[-1])}
    assert sorted(operations) == list(range(len(operations)))

    assert documented_operations() == operations

    assert {int(t) for t in MsgType} == set(operations)
    for t, name in operations.items():
        assert MsgType[name.upper()] == t, name
