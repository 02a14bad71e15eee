"""Hostile values: shell metacharacters in everything that reaches a shell,
plugin names that try to leave the plugin directory, key material that must
stay private, and sealed payloads that were tampered with."""
import base64
import json
import os
import stat

import pytest

from refusals import refusal
import agent_process
from php_bridge import add_plugin, drive, install_php
from canned_pip import Canned
from plugin_files import NO_PLUGIN, NOT_INSTALLED, UNSAFE, entry, write_plugin
from vemo_master import MsgType, files
from vemo_master import extension as x
from vemo_master.errors import AgentFailure, KeyRefused
from workers import msg

SHELL_VALUES = [
    "x; touch {m}1", "$(touch {m}2)", "`touch {m}3`", "x' ; touch {m}4 ; '",
    'x" ; touch {m}5 ; "', "x\ntouch {m}6", "a|touch {m}7", "a&&touch {m}8",
    "x > {m}9", "\\'$(touch {m}10)", "$HOME",
]


def shell_values(marker):
    return [v.format(m=marker) for v in SHELL_VALUES]


def test_package_names_reach_the_installer_as_one_word(server_root, tmp_path):
    installer = Canned(server_root)
    agent = agent_process.start_agent(server_root)
    try:
        s = agent.session()
        for name in shell_values(tmp_path / "owned"):
            # The canned installer prints nothing: each call is refused.
            refusal(x.install_mod, s, name)
            assert installer.argv() == ["install", name]
            refusal(x.uninstall_mod, s, name)
            assert installer.argv() == ["uninstall", name, "-y"]
        # The shell would see only the text before a NUL: refused instead.
        (installer.bin / "argv").unlink()
        with pytest.raises(AgentFailure, match="ValueError: embedded null byte"):
            x.install_mod(s, "pkg\0; touch %s" % (tmp_path / "owned0"))
        assert not (installer.bin / "argv").exists()
        assert s.heartbeat()
    finally:
        agent.stop()
    assert list(tmp_path.glob("owned*")) == []


def test_php_bridge_values_run_nothing_and_arrive_intact(server_root, tmp_path, py):
    install_php(server_root, "74")
    add_plugin(server_root)
    values = shell_values(tmp_path / "owned")
    result = drive(py, """
        ZQ_VEMO.set_request(args={"q": %r}, form=dict(enumerate(%r)))
        emit([run("demo", "echo_args"), [run("demo", v) for v in %r]])
    """ % (values[0], values, values))
    echoed, by_function = result
    assert echoed["GET"] == {"q": values[0]}
    assert [echoed["POST"][str(i)] for i in range(len(values))] == values
    assert by_function == [msg(False, "function not found: " + v) for v in values]
    assert list(tmp_path.glob("owned*")) == []


def test_plugin_names_never_reach_outside_the_plugin_directory(agent, tmp_path):
    side, s = agent.install_dir, agent.session()
    marker = tmp_path / "loaded"
    # Importable code and an info.json beside, not inside, plugin/.
    (side / "plugin").mkdir()
    (side / "evil").mkdir()
    for folder in (side, side / "plugin", side / "evil"):
        (folder / "info.json").write_text('{"versions": "outside"}')
    code = "open(%r, 'w').close()\n" % str(marker) + entry("evil_client", """
        def who(self, request):
            return "outside"
    """)
    for folder in (side, side / "evil"):
        (folder / "evil_client.py").write_text(code)
    write_plugin(side, "good", {"versions": "1"})

    for name in ("../evil", "good/../../evil", str(side / "evil"), "..", "."):
        assert refusal(x.plugin, s, name, "who") in (NO_PLUGIN["msg"], UNSAFE["msg"]), name
    for name in ("../evil", "good/../../evil", "good/..", "..", "."):
        assert x.plugin_is_installed(s, name) == NOT_INSTALLED, name
    assert x.plugin_is_installed(s, "good") == {"status": True, "msg": "1"}
    assert not marker.exists()


def test_php_bridge_refuses_names_outside_the_plugin_directory(server_root, tmp_path, py):
    install_php(server_root, "74")
    marker = tmp_path / "ran"
    vemo = server_root / "vemo"
    outside = vemo / "evil"
    outside.mkdir()
    touch = "<?php touch(%r);\n" % str(marker)
    (outside / "prepend.php").write_text(touch)
    (outside / "evil_main.php").write_text(touch + "function greeting($a) { return 1; }\n")
    # php.ini beside the code would be handed to PHP with -c.
    (outside / "php_cli_74.ini").write_text("auto_prepend_file=%s\n" % (outside / "prepend.php"))
    names = ["../evil", str(outside), "..", "deep/../../evil", ""]
    value = drive(py, "emit([run(n, 'greeting') for n in %r])" % names)
    assert value == [msg(False, "invalid plugin name: " + n) for n in names]
    assert not marker.exists()
    assert list(vemo.glob("php_cli_*.ini")) == []
    written = sorted(p.name for p in outside.rglob("*") if p.is_file())
    assert written == ["evil_main.php", "php_cli_74.ini", "prepend.php"]


def pem_body(path):
    lines = path.read_text().splitlines()
    assert lines[0].startswith("-----BEGIN") and "PRIVATE KEY" in lines[0]
    return [line for line in lines[1:-1] if line]


def test_private_keys_are_owner_only_and_never_printed(server_root, py):
    side = server_root / "vemo" / "client-side"
    (side / "cert").mkdir()
    stale = side / "cert" / "privateKey.pem"
    stale.write_text("stale, readable by anyone")
    stale.chmod(0o666)
    made = py("import os; os.umask(0); import client; print(client.zq_vemo_client().create_ssl())")
    keys = [side / "cert" / "privateKey.pem", side / "data" / "id_rsa"]
    for key in keys:
        assert stat.S_IMODE(os.stat(str(key)).st_mode) == 0o600, key
    agent = agent_process.start_agent(server_root)
    try:
        s = agent.session()
        s.send_frame(MsgType.ON_JSON, s.seal(b"{}"))
        assert b"AttributeError" in s.unseal(s.recv_reply())
        assert s.heartbeat()
    finally:
        printed = made.stdout + made.stderr + agent.stop() + agent.errors()
    assert "AttributeError" in printed  # the failure above was printed
    for key in keys:
        for line in pem_body(key):
            assert line not in printed


def key_forms(key):
    forms = [key, key.hex().encode(), key.hex().upper().encode(),
             base64.b64encode(key), base64.urlsafe_b64encode(key),
             repr(key)[2:-1].encode()]
    return [f.rstrip(b"=") for f in forms]


def test_session_keys_are_never_written_anywhere(agent):
    s = agent.session()
    refused = os.urandom(20)
    with pytest.raises(KeyRefused):
        s.exchange_key(refused)
    files.make_dir(s, str(agent.root / "made"))
    assert files.list_dir(s, str(agent.root))["dirs"]
    with pytest.raises(files.Refused):
        files.list_dir(s, str(agent.root / "missing"))
    s.send_frame(MsgType.ON_JSON, s.seal(b"{}"))           # no such operation
    failure = s.unseal(s.recv_reply())
    s.send_frame(MsgType.CREATE_DIR, s.seal(b"[1]")[:-1])  # does not open
    tampered = s.unseal(s.recv_reply())
    assert b"AttributeError" in failure and b"InvalidTag" in tampered
    key = s.key
    agent.stop()
    assert "InvalidTag" in agent.output()
    for path in agent.root.rglob("*"):
        if path.is_file() and not path.is_symlink():
            data = path.read_bytes()
            for secret in (key, refused):
                for form in key_forms(secret):
                    assert form not in data, (path, form)


def test_tampered_sealed_requests_are_refused_and_nothing_is_made(agent):
    s, other = agent.session(), agent.session()
    target = agent.root / "made"
    request = json.dumps({"path": str(target)}).encode()
    sealed = s.seal(request)

    def flipped(at):
        changed = bytearray(sealed)
        changed[at] ^= 0x01
        return bytes(changed)

    variants = {"nonce": flipped(3), "ciphertext": flipped(14),
                "tag": flipped(len(sealed) - 1), "truncated": sealed[:-4],
                "nonce only": sealed[:12], "other key": other.seal(request)}
    for name, payload in variants.items():
        s.send_frame(MsgType.CREATE_DIR, payload)
        report = s.unseal(s.recv_reply())
        assert b"InvalidTag" in report or b"too short" in report, name
        assert not target.exists(), name
        assert s.heartbeat()
    other.send_frame(MsgType.CREATE_DIR, sealed)
    assert b"InvalidTag" in other.unseal(other.recv_reply())
    assert not target.exists()
    files.make_dir(s, str(target))  # the untouched payload does act
    assert target.is_dir()
