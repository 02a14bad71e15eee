"""Paths and child-process helpers shared by the tests and their fixtures."""
import os
import pathlib
import subprocess
import sys

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VEMO_TEST_BUILD", REPO / "build"))


# Agents get the environment the tests started with, not the known-hosts
# home each test points masters at: their installer reads its user
# configuration from there too.
_STARTING_ENV = dict(os.environ)


def agent_env(root):
    env = dict(_STARTING_ENV)
    env["VEMO_SERVER_ROOT"] = str(root)
    env.pop("PYTHONPATH", None)
    return env


def run_py(root, code, timeout=60, check=True):
    """Run `code` in a fresh interpreter against server root `root`; the
    working directory is the install directory, as for the real agent."""
    proc = subprocess.run(
        [sys.executable, "-c", code], cwd=root / "vemo" / "client-side",
        env=agent_env(root), capture_output=True, text=True, timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError(
            "child failed (%d)\nstdout:\n%s\nstderr:\n%s"
            % (proc.returncode, proc.stdout, proc.stderr))
    return proc
