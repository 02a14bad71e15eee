"""vemoctl run in-process through main(argv), as a finished process would
show it, and the checks its answers share."""
import contextlib
import io
import json
import subprocess

from vemo_master.cli import main

OK, FAILED, USAGE, REFUSED = 0, 1, 2, 3


def vemoctl(agent_or_port, *argv, key=None, host=None):
    """Runs vemoctl's main() against an agent (or a bare port) with its
    key (the agent's own unless given)."""
    port = getattr(agent_or_port, "port", agent_or_port)
    if key is None:
        key = agent_or_port.key_path
    where = ["--port", str(port), "--key", str(key)]
    if host is not None:
        where = ["--host", host] + where
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = main(where + [str(a) for a in argv])
    return subprocess.CompletedProcess(argv, code, out.getvalue(),
                                       err.getvalue())


def as_json(proc):
    return json.loads(proc.stdout)


def assert_one_line_error(proc, code, *fragments):
    """Exit `code` and one error line (after the usage text for usage
    errors) holding every fragment."""
    assert proc.returncode == code, (proc.stdout, proc.stderr)
    assert "Traceback" not in proc.stderr + proc.stdout
    last = proc.stderr.splitlines()[-1]
    assert last.startswith("vemoctl: ")
    if code != USAGE:
        assert proc.stderr == last + "\n"
    for fragment in fragments:
        assert fragment in last
