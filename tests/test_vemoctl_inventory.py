"""vemoctl --hosts on an operator's Ansible inventory (ansible_host,
vemo_* variables, host_vars/ and group_vars/, --limit with "&", "!" and
":"), --list-hosts, the fleet form of trust, and the inventory errors an
operator meets, against real agents."""
import os
import shutil

from vemoctl_run import FAILED, OK, USAGE, as_json, vemoctl
from vemo_master import cert_fingerprint, known_hosts


def test_ansible_inventory_limits_list_hosts_and_trust(fleet, tmp_path):  # noqa: F811
    a, b, down = fleet
    inv = tmp_path / "inv"
    (inv / "group_vars").mkdir(parents=True)
    (inv / "host_vars").mkdir()
    (inv / "hosts.ini").write_text(
        "[web]\nweb1 ansible_host=127.0.0.1 vemo_port=%d\nweb2\n"
        "[db]\ndb1 ansible_host=127.0.0.1 vemo_port=%d\n"
        "[prod:children]\nweb\ndb\n" % (a.port, down.port))
    (inv / "host_vars" / "web2.yml").write_text(
        "ansible_host: 127.0.0.1\nvemo_port: %d\nvemo_key: %s\n"
        % (b.port, b.install_dir / "data" / "id_rsa.pub"))
    (inv / "group_vars" / "all.yml").write_text(
        "vemo_key: %s\n" % (a.install_dir / "data" / "id_rsa.pub"))
    hosts = inv / "hosts.ini"

    def ports(*argv):
        shown = vemoctl(down, "--hosts", hosts, "--list-hosts", "--json", *argv)
        assert shown.returncode == OK, shown.stderr
        return [d["port"] for d in as_json(shown)]

    assert ports() == [a.port, b.port, down.port]
    assert ports("--limit", "prod:!db") == [a.port, b.port]
    assert ports("--limit", "prod:&db") == [down.port]
    assert ports("--limit", "web1,db1") == [a.port, down.port]

    # Each host with its own key, from host_vars or group_vars.
    pinged = vemoctl(down, "--hosts", hosts, "--limit", "web", "ping")
    assert pinged.returncode == OK, pinged.stdout + pinged.stderr
    assert pinged.stdout.splitlines()[-1] == "2 of 2 hosts ok"
    assert pinged.stdout.count("(first contact)") == 2

    # trust without --host is a usage error; with --hosts it records each
    # selected host, the inventory's fingerprint by default.
    assert vemoctl(down, "trust", "ab" * 32).returncode == USAGE
    print_b = cert_fingerprint(
        (b.install_dir / "cert" / "certificate.pem").read_bytes())
    (inv / "host_vars" / "web2.yml").write_text(
        (inv / "host_vars" / "web2.yml").read_text()
        + "vemo_fingerprint: %s\n" % print_b.upper())
    trusted = vemoctl(down, "--hosts", hosts, "--limit", "web2", "trust")
    assert trusted.returncode == OK, trusted.stderr
    with open(known_hosts.default_path()) as f:
        assert "127.0.0.1:%d %s" % (b.port, print_b) in f.read().splitlines()

    # A bad fingerprint names the file and the line holding it.
    bad_inv = tmp_path / "bad"
    shutil.copytree(str(inv), str(bad_inv))
    (bad_inv / "group_vars" / "db.yml").write_text("# db\nvemo_fingerprint: 'zz:01'\n")
    bad = vemoctl(down, "--hosts", bad_inv / "hosts.ini", "--json", "ping")
    assert bad.returncode == USAGE
    assert as_json(bad)["command"] == "ping"
    assert "group_vars/db.yml:2: fingerprint zz:01" in as_json(bad)["error"]


def test_own_inventory_takes_ansible_patterns_and_names_bad_lines(fleet, tmp_path):  # noqa: F811
    a, b, down = fleet
    key = a.install_dir / "data" / "id_rsa.pub"
    hosts = tmp_path / "agents"
    hosts.write_text("[web]\n127.0.0.1:%d %s\n127.0.0.1:%d\n[db]\n127.0.0.1:%d\n"
                     % (a.port, key, b.port, down.port))
    shown = vemoctl(down, "--hosts", hosts, "--limit", "all:!db", "--limit",
                    "*:%d,web:&*:%d" % (down.port, b.port), "--list-hosts")
    assert shown.stdout.split() == ["127.0.0.1:%d" % b.port]
    hosts.write_text(hosts.read_text() + "127.0.0.1:1 fingerprint=nothex\n")
    bad = vemoctl(down, "--hosts", hosts, "ping")
    assert bad.returncode == USAGE and "%s:6: fingerprint nothex" % hosts in bad.stderr
    # A usage error's document never names an option's value as the command.
    doc = as_json(vemoctl(down, "--timeout", "5", "--json", "nosuch"))
    assert (doc["command"], doc["status"]) == (None, "usage")
    unreadable = tmp_path / "hosts.yml"
    unreadable.write_text("web: [unclosed\n")
    assert vemoctl(down, "--hosts", unreadable, "ping").returncode == USAGE
    assert vemoctl(down, "--hosts", tmp_path / "none", "ping").returncode == FAILED
    # --list-hosts contacted no agent.
    assert not os.path.exists(known_hosts.default_path())
