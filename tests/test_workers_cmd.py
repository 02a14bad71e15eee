"""Worker and task commands end to end: the master names an operation of
the agent's worker registry (type 20) or of a fresh panel task object
(type 21)."""
import sqlite3
import time

import pytest

import vemo_master as v
from refusals import refusal
from vemo_master import MsgType
from vemo_master import extension as x
from vemoctl_run import vemoctl
from workers import GATE_WORKER, msg

NO_SUCH = msg(False, "指定方法不存在!")


def wait_until(check, what):
    deadline = time.monotonic() + 20
    while not check():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


def workers(s):
    return {e["module"]: (e["tmp"], e["running"]) for e in x.warden(s, "get_thread_list")}


def recorded(side):
    con = sqlite3.connect(str(side / "data" / "default.db"))
    try:
        return [r[0] for r in con.execute("SELECT module FROM warden ORDER BY id")]
    finally:
        con.close()


@pytest.fixture
def gate_agent(server_root):
    (server_root / "vemo" / "client-side" / "threads" / "gate.py").write_text(GATE_WORKER)
    import agent_process
    agent = agent_process.start_agent(server_root)
    yield agent
    (agent.install_dir / "gate.release").touch()
    agent.stop()


def test_registry_operations_through_the_worker_command(gate_agent):
    side, s = gate_agent.install_dir, gate_agent.session()
    # A temporary worker stays temporary whatever the request says.
    started = x.warden(s, "create_tmp_thread", name="门", module="gate", args={"k": 1}, is_save=True)
    assert started == msg(True, "线程创建成功!")
    wait_until(lambda: (side / "gate.calls").exists(), "gate never ran")
    assert workers(s)["gate"] == (True, True)
    assert recorded(side) == ["bedrock"]

    (side / "gate.release").touch()
    wait_until(lambda: "gate" not in workers(s), "ended temporary worker was not pruned")

    (side / "gate.release").unlink()
    recording = x.warden(s, "create_thread", name="G", module="gate", args={})
    assert recording == msg(True, "已添加到线程池!")
    assert workers(s)["gate"] == (False, True)
    assert recorded(side) == ["bedrock", "gate"]
    assert x.warden(s, "remove_thread", module="gate") == msg(True, "从线程池删除成功")
    assert recorded(side) == ["bedrock"]
    assert workers(s)["gate"] == (True, True)


def test_unknown_or_unusable_operation_names(gate_agent):
    s = gate_agent.session()
    assert refusal(x.warden, s, "no_such_operation") == NO_SUCH["msg"]
    assert refusal(x.task_admin, s, "no_such_operation") == NO_SUCH["msg"]
    # Not text: the existence test itself fails, as does calling a table.
    assert b"TypeError" in s.request(MsgType.WARDEN, {"fun": 5})
    assert b"TypeError" in s.request(MsgType.WARDEN, {"fun": "_Threads"})
    assert b"KeyError" in s.request(MsgType.TASK_ADMIN, {})
    # The connection still serves.
    assert x.warden(s, "get_thread_list")[0]["module"] == "bedrock"


def test_task_operations_through_the_task_command(gate_agent):
    s = gate_agent.session()
    added = x.task_admin(s, "add_task", type="shell", name="probe", args={"command": "exit 0"})
    assert added["status"] is True and isinstance(added["id"], int)
    task = x.task_admin(s, "get_task", id=added["id"])
    assert (task["name"], task["type"]) == ("probe", "shell")
    assert refusal(x.task_admin, s, "get_task", id=added["id"] + 1000) == "指定任务不存在!"


def test_ensure_worker_starts_once_and_drops_the_record(gate_agent):
    # A second start answers "already running": no change, no failure.
    s = gate_agent.session()
    assert v.ensure_worker(s, "gate", check=True).changed
    assert "gate" not in workers(s)
    assert v.ensure_worker(s, "gate").changed
    again = v.ensure_worker(s, "gate")
    assert not again.changed and again.after == {"running": True, "saved": True}
    shown = vemoctl(gate_agent, "workers", "start", "gate")
    assert shown.returncode == 0 and "gate is already running" in shown.stdout
    assert v.ensure_worker(s, "gate", "absent").changed
    assert not v.ensure_worker(s, "gate", "absent").changed
