"""One start / short session / interrupt cycle of a real agent, and how it
ended; shared by the exit regression test and the exit soak."""
import collections
import json
import signal
import sqlite3
import subprocess

import agent_process
from refusals import refusal
from vemo_master import errors, files
from vemo_master import extension as x

STOP_TIMEOUT = 20.0
BIG_LISTING = 600  # entries: a reply of some 60 kB
FAILING_PLUGIN = (
    "class failing_main(object):\n"
    "    def boom(self, args):\n"
    "        raise RuntimeError('plugin failed')\n")

Outcome = collections.namedtuple("Outcome", "kind detail")


def prepare(root, poll=None):
    """Directories to list and a plugin that raises, under server root
    `root`; with `poll` (seconds), the task-queue worker's row recorded
    beforehand with that poll period, so that its thread wakes that often."""
    side = root / "vemo" / "client-side"
    (side / "data").mkdir(exist_ok=True)
    if poll is not None:
        record_worker(side / "data" / "default.db", "bedrock", {"interval": poll})
    small, big = side / "exit-small", side / "exit-big"
    for folder, count in ((small, 5), (big, BIG_LISTING)):
        folder.mkdir(exist_ok=True)
        for n in range(count):
            (folder / ("entry-%04d.txt" % n)).write_text("x" * n)
    plugin = side / "plugin" / "failing"
    plugin.mkdir(parents=True, exist_ok=True)
    (plugin / "failing_main.py").write_text(FAILING_PLUGIN)
    return small, big


def record_worker(db_file, module, args):
    with sqlite3.connect(str(db_file)) as db:
        db.execute("CREATE TABLE IF NOT EXISTS `warden` (`id` INTEGER PRIMARY KEY AUTOINCREMENT,"
                   " `name` TEXT, `module` TEXT, `args` TEXT, `addtime` INTEGER)")
        db.execute("INSERT INTO `warden` (`name`, `module`, `args`, `addtime`) VALUES (?, ?, ?, 0)",
                   (module, module, json.dumps(args)))
    db.close()


def session(agent, small, big):
    s = agent.session(timeout=30.0)
    assert s.heartbeat()
    assert len(files.list_dir(s, str(small))["files"]) == 5
    assert len(files.list_dir(s, str(big))["files"]) == BIG_LISTING
    try:
        x.plugin(s, "failing", "boom")
        raise AssertionError("the failing plugin answered")
    except errors.AgentFailure as failure:
        assert "plugin failed" in str(failure)
    assert refusal(x.plugin, s, "absent", "boom") == "指定插件不存在!"
    assert s.heartbeat()
    return s


def interrupt(agent):
    agent.proc.send_signal(signal.SIGINT)
    try:
        return agent.proc.wait(STOP_TIMEOUT)
    except subprocess.TimeoutExpired:
        agent.proc.kill()
        agent.proc.wait()
        return None


def cycle(root, i, dirs):
    """Start, session over `dirs` (prepare's answer), SIGINT (every other
    time with the session still open); the Outcome: "clean", "signal N",
    "status N", "hung" or "no exit service"."""
    small, big = dirs
    agent = agent_process.start_agent(root)
    try:
        s = session(agent, small, big)
        if i % 2:
            s.close()
        status = interrupt(agent)
    finally:
        agent.stop()
    out = agent.output()
    detail = "stdout tail:\n%s\nstderr tail:\n%s" % (out[-600:], agent.errors()[-1500:])
    if status is None:
        return Outcome("hung", detail)
    if status < 0:
        return Outcome("signal %s" % signal.Signals(-status).name, detail)
    if status != 0:
        return Outcome("status %d" % status, detail)
    if not out.strip().endswith("exit service"):
        return Outcome("no exit service", detail)
    return Outcome("clean", detail)
