"""Socket relay with two real agents: the master asks agent A to call
agent B through A's relay client and receives B's answer."""
import json
import shutil

import pytest

from refusals import refusal
import agent_process
from hostile_agent import HostileAgent, gzip_bomb
from vemo_master import MsgType
from vemo_master import extension as x

WHERE_PLUGIN = '''
import os

class only_b_main(object):
    def where(self, request):
        return os.getcwd()
'''


@pytest.fixture
def agent_b(installed_tree, tmp_path):
    root = tmp_path / "b"
    shutil.copytree(str(installed_tree), str(root), symlinks=True)
    side = root / "vemo" / "client-side"
    (side / "data").mkdir(exist_ok=True)
    (side / "plugin" / "only_b").mkdir(parents=True)
    (side / "plugin" / "only_b" / "info.json").write_text(json.dumps({"versions": ["b"]}))
    (side / "plugin" / "only_b" / "only_b_main.py").write_text(WHERE_PLUGIN)
    agent = agent_process.start_agent(root)
    yield agent
    agent.stop()


def relay(s, b, fun, args):
    return x.other_sock(s, "127.0.0.1", b.port, b.public_key.decode("ascii"), fun, **args)


def test_master_receives_the_other_agents_answer(agent, agent_b):
    s = agent.session()
    assert relay(s, agent_b, "plugin_is_isntalled", {"p_name": "only_b"}) == {
        "status": True, "msg": ["b"]}
    assert x.plugin_is_installed(s, "only_b") == {"status": False, "msg": "未安装!"}
    assert relay(s, agent_b, "get_plugin_list", {}) == [{"versions": ["b"]}]
    assert relay(s, agent_b, "plugin", {"p_name": "only_b", "p_fun": "where"}) == \
        str(agent_b.install_dir)


def test_relay_refusals_and_failures(agent, agent_b):
    s = agent.session()
    closed_port = agent_process.free_port()
    # Checked before any connection: the port would refuse one.
    assert refusal(x.other_sock, s, "127.0.0.1", closed_port, "no key",
                   "no_such") == "指定方法不存在"
    request = {"host": "127.0.0.1", "port": agent_b.port, "fun": "get_plugin_list",
               "token": agent_b.public_key.decode("ascii")}
    assert b"TypeError" in s.request(MsgType.OTHER_SOCK, dict(request, args={"bogus": 1}))
    assert b"TypeError" in s.request(MsgType.OTHER_SOCK, dict(request, args=[]))
    assert b"ConnectionRefusedError" in s.request(
        MsgType.OTHER_SOCK, dict(request, port=closed_port, args={}))
    assert relay(s, agent_b, "get_plugin_list", {}) == [{"versions": ["b"]}]


def peak_memory(agent):
    with open("/proc/%d/status" % agent.proc.pid) as f:
        return next(int(line.split()[1]) << 10 for line in f
                    if line.startswith("VmHWM:"))


def test_an_inflating_answer_is_refused_within_bounded_memory(agent, tmp_path):
    bomb = gzip_bomb()
    other = HostileAgent(tmp_path, lambda t, args, conn: conn.send_opened(bomb))
    try:
        s = agent.session()
        answer = s.request(MsgType.OTHER_SOCK, {
            "host": "127.0.0.1", "port": other.port, "fun": "heartbeat", "args": {},
            "token": other.key_path.read_text()})
    finally:
        other.close()
    assert b"ReplyTooLarge" in answer
    assert peak_memory(agent) < 256 << 20  # it opens to 1 GiB
    assert s.heartbeat()
