"""The message-type and failure tables of docs/protocol.md and the master's MsgType
against the table the agent's frame reader dispatches on, and that table
against its data, so that no type can be added, renamed or dropped on one
side only."""
import json
import re
import shutil
import subprocess
import sys

import pytest

from harness import REPO
from vemo_master.types import MsgType

sys.path.insert(0, str(REPO / "tools"))
import operation_table  # noqa: E402


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
    built = json.loads(out.splitlines()[-1])
    # Every text through the generated header as the data holds it: quotes,
    # backslashes and non-ASCII text included.
    assert built == [[e["type"], e["name"], e["keys"], e["request"], e["reply"], e["refused"], e["code"],
                      e["failure"]] for e in operation_table.load()]
    operations = {t: name for t, name, *_ in built}

    assert documented_operations() == operations

    assert {int(t) for t in MsgType} == set(operations)
    for t, name in operations.items():
        assert MsgType[name.upper()] == t, name


def generate(root, *args):
    return subprocess.run(
        [sys.executable, str(REPO / "tools" / "generate_operations.py"), "--root", str(root), *args],
        capture_output=True, text=True, timeout=120)


def test_generated_files_are_current_and_stale_ones_are_named(tmp_path):
    current = generate(REPO, "--check")
    assert current.returncode == 0, current.stdout + current.stderr

    master, doc = "master/vemo_master/_operations.py", "docs/protocol.md"
    for name in (master, doc):
        (tmp_path / name).parent.mkdir(parents=True)
        shutil.copy(REPO / name, tmp_path / name)
    (tmp_path / master).write_text("OPERATIONS = ()\n")
    original = (REPO / doc).read_text(encoding="utf-8")
    # A row of each generated table: the types, and how each type fails.
    without_a_row = re.sub(r"^\| 16 \| `heartbeat` \|.*\n", "", original, count=1, flags=re.M)
    without_a_row = re.sub(r"^\| 2 \| `f_mode` not digits.*\n", "", without_a_row, count=1, flags=re.M)
    assert len(without_a_row.splitlines()) == len(original.splitlines()) - 2
    (tmp_path / doc).write_text(without_a_row, encoding="utf-8")

    stale = generate(tmp_path, "--check")
    assert stale.returncode == 1
    for name in (master, doc):
        assert "%s is stale: run `make build`" % (tmp_path / name) in stale.stdout

    assert generate(tmp_path).returncode == 0
    for name in (master, doc):
        assert (tmp_path / name).read_text(encoding="utf-8") == (REPO / name).read_text(encoding="utf-8")


def test_table_data_that_would_mislead_the_build_is_refused_by_file(tmp_path):
    data = tmp_path / "operations"
    shutil.copytree(operation_table.FOLDER, data)
    (data / "mod_list.json").unlink()
    with pytest.raises(operation_table.TableError, match="number 0, 1, 2"):
        operation_table.load(data)

    shutil.copy(operation_table.FOLDER / "mod_list.json", data)
    entry = json.loads((data / "heartbeat.json").read_text(encoding="utf-8"))
    for wrong in ({"refsued": ""}, {"handler": "files::beat"}, {"host_code": "yes"}):
        (data / "heartbeat.json").write_text(json.dumps(dict(entry, **wrong)), encoding="utf-8")
        with pytest.raises(operation_table.TableError, match="heartbeat.json"):
            operation_table.load(data)

    failed = generate(tmp_path, "--data", str(data))
    assert failed.returncode == 1 and "heartbeat.json" in failed.stderr
