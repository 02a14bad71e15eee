"""Installing beside a panel: the service start script and unit, and an
install that leaves the panel's own host modules alone."""
import shutil
import signal
import subprocess
import sys
import time

import pytest

from agent_process import free_port, _serves_tls
from harness import BUILD, REPO
from vemo_master import Session


def make(target, root, **extra):
    args = ["make", "-s", "-C", str(REPO), target, "SERVER_ROOT=%s" % root,
            "BUILD=%s" % BUILD] + ["%s=%s" % kv for kv in extra.items()]
    subprocess.run(args, check=True, timeout=600, capture_output=True)


def stop_signal(unit):
    """The signal `systemctl stop` sends for this unit (systemd's default
    is SIGTERM), to the main process like to every other in its group."""
    settings = dict(line.split("=", 1) for line in unit.splitlines()
                    if "=" in line and not line.startswith("#"))
    assert settings.get("KillMode", "control-group") in ("control-group", "mixed")
    return signal.Signals[settings.get("KillSignal", "SIGTERM")]


# systemd cannot run here, so the unit's stop is played by sending its
# KillSignal to the process its start script became.
@pytest.mark.parametrize("stop", ["interrupt", "unit stop"])
def test_start_script_serves_and_ends_with_exit_service(server_root, stop):
    units = server_root / "units"
    make("install-service", server_root, SYSTEMD_DIR=units)
    unit = (units / "vemo-agent.service").read_text()
    script = server_root / "vemo" / "vemo-agent"
    assert "ExecStart=%s\n" % script in unit and "Restart=always" in unit
    if shutil.which("systemd-analyze"):
        check = subprocess.run(["systemd-analyze", "verify", str(units / "vemo-agent.service")],
                               capture_output=True, text=True, timeout=60)
        assert "vemo-agent.service" not in check.stderr, check.stderr

    port = free_port()
    data = server_root / "vemo" / "client-side" / "data"
    (data / "port.pl").write_text(str(port))
    proc = subprocess.Popen([str(script)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 20
        while not _serves_tls(port):
            assert proc.poll() is None and time.monotonic() < deadline
            time.sleep(0.1)
        with Session("127.0.0.1", port, (data / "id_rsa.pub").read_bytes(), timeout=10) as s:
            s.exchange_key()
            assert s.heartbeat()
        proc.send_signal(signal.SIGINT if stop == "interrupt" else stop_signal(unit))
        out, _ = proc.communicate(timeout=15)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(10)
    # The manager sees a normal exit after the loop failed; the unit's
    # Restart=always brings it back.
    assert proc.returncode == 0
    assert out.decode().strip().endswith("exit service")
    assert "Traceback" not in out.decode()


@pytest.mark.parametrize("target,replaced", [("install-modules", False), ("install", True)])
def test_module_install_leaves_panel_modules(tmp_path, target, replaced):
    panel_class = tmp_path / "vemo" / "client-side" / "class"
    panel_class.mkdir(parents=True)
    own = "# the panel's own module\n"
    (panel_class / "public.py").write_text(own)
    make(target, tmp_path)
    assert (tmp_path / "vemo" / "client-side" / "client.so").is_file()
    assert (panel_class / "warden.so").is_file()
    assert ((panel_class / "public.py").read_text() != own) == replaced


def test_start_script_names_the_real_interpreter_or_none(tmp_path):
    # A pyenv-like shim is resolved: the service must not depend on the
    # directory and environment the shim picks a version by.
    shim = tmp_path / "shims" / "python3"
    shim.parent.mkdir()
    shim.write_text('#!/bin/sh\nexec "%s" "$@"\n' % sys.executable)
    shim.chmod(0o755)
    make("install-service", tmp_path, SYSTEMD_DIR=tmp_path / "units", PYTHON=shim)
    script = (tmp_path / "vemo" / "vemo-agent").read_text()
    assert "exec '%s' -u" % sys.executable in script and str(shim) not in script

    # An interpreter that does not run would leave systemd restarting a
    # start script every 2 s for ever.
    elsewhere = tmp_path / "elsewhere"
    with pytest.raises(subprocess.CalledProcessError) as refused:
        make("install-service", elsewhere, SYSTEMD_DIR=elsewhere / "units",
             PYTHON=tmp_path / "missing" / "python3")
    assert b"does not run" in refused.value.stderr
    assert not elsewhere.exists()
