"""vemoctl --hosts: one command on several real agents at once, one of
them down."""
import json
import shutil

import raw_transfer as rt
from vemoctl_run import FAILED, REFUSED, vemoctl


def test_fleet_get_and_ping_with_one_agent_down(fleet, tmp_path):
    hosts = tmp_path / "hosts"
    hosts.write_text("# the fleet\n\n" + "".join(
        "127.0.0.1:%d %s  # agent %d\n" % (a.port, a.install_dir / "data" / "id_rsa.pub", i)
        for i, a in enumerate(fleet)))
    content = b"fleet payload " * 5000
    remote = tmp_path / "remote.bin"
    remote.write_bytes(content)
    up, down = fleet[:2], fleet[2]

    got = vemoctl(down, "--hosts", hosts, "--parallel", "2", "get", remote,
                  tmp_path / "copies")
    assert got.returncode == FAILED
    assert "Traceback" not in got.stdout + got.stderr
    table = got.stdout.splitlines()
    row = {line.split()[0]: line.split() for line in table
           if line.startswith("127.0.0.1:")}
    for a in up:
        assert row["127.0.0.1:%d" % a.port][1:3] == ["ok", str(len(content))]
        copy = tmp_path / "copies" / ("127.0.0.1_%d" % a.port) / "remote.bin"
        assert rt.sha1(copy.read_bytes()) == rt.sha1(content)
    assert row["127.0.0.1:%d" % down.port][1] == "failed"
    assert "unreachable" in " ".join(row["127.0.0.1:%d" % down.port])
    assert table[-1] == "2 of 3 hosts ok"
    assert got.stderr.count("\n") == 1 and str(down.port) in got.stderr

    pinged = vemoctl(down, "--hosts", hosts, "--json", "ping")
    assert pinged.returncode == FAILED
    docs = json.loads(pinged.stdout)
    assert [(d["port"], d["status"]) for d in docs] == [
        (up[0].port, "ok"), (up[1].port, "ok"), (down.port, "failed")]


def test_relay_passes_request_keys_to_the_other_agent(fleet):
    first, second = fleet[:2]
    plugin = second.install_dir / "plugin" / "only_b"
    plugin.mkdir(parents=True)
    (plugin / "info.json").write_text(json.dumps({"versions": ["b"]}))
    key = second.install_dir / "data" / "id_rsa.pub"
    target = "127.0.0.1:%d" % second.port

    found = vemoctl(first, "--json", "relay", target, key,
                    "plugin_is_isntalled", "p_name=only_b")
    assert json.loads(found.stdout)["result"] == {
        "answer": {"status": True, "msg": ["b"]}}
    # The other agent's refusal is a refusal here too.
    missing = vemoctl(first, "relay", target, key, "plugin_is_isntalled",
                      "p_name=absent")
    assert missing.returncode == REFUSED and "not installed" in missing.stderr
    # Operators read English; --json keeps the agent's own text.
    doc = json.loads(vemoctl(first, "--json", "relay", target, key,
                             "plugin_is_isntalled", "p_name=absent").stdout)
    assert doc["agent_msg"] == "未安装!"


def test_inventory_groups_limit_and_per_host_settings(fleet, tmp_path):
    (a, b, down) = fleet
    keys = tmp_path / "keys"
    keys.mkdir()
    for agent in fleet:
        shutil.copy(str(agent.install_dir / "data" / "id_rsa.pub"),
                    str(keys / ("%d.pub" % agent.port)))
    ini = tmp_path / "inventory"
    ini.write_text(
        "[web]\n127.0.0.1 port=%d key=keys/%d.pub\n"
        "127.0.0.1:%d keys/%d.pub\n"
        "[db]\n127.0.0.1:%d key=keys/%d.pub\n"
        "[prod:children]\nweb\n" % (a.port, a.port, b.port, b.port,
                                    down.port, down.port))
    web = vemoctl(down, "--hosts", ini, "--limit", "prod", "ping")
    assert web.returncode == 0 and web.stdout.splitlines()[-1] == (
        "2 of 2 hosts ok")
    one = json.loads(vemoctl(down, "ping", "--json", "--hosts", ini,
                             "--limit", "*:%d" % b.port).stdout)
    assert [d["port"] for d in one] == [b.port]

    yml = tmp_path / "inventory.yml"
    yml.write_text(json.dumps({"all": {"children": {
        "web": {"hosts": {"127.0.0.1:%d" % p: {"key": "keys/%d.pub" % p}
                          for p in (a.port, down.port)}}}}}))
    both = vemoctl(down, "--hosts", yml, "--limit", "web", "ping")
    assert both.returncode == 1 and "unreachable" in both.stderr
    assert both.stdout.splitlines()[-1] == "1 of 2 hosts ok"
    assert vemoctl(down, "--hosts", ini, "--limit", "nosuch", "ping"
                   ).returncode == 2
