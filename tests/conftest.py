"""Shared fixtures: an installed tree per test session, a fresh server root
per test, and helpers that run the real modules in their own processes
(importing them changes the working directory, so never in pytest's)."""
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("VEMO_TEST_BUILD", REPO / "build"))
sys.path.insert(0, str(REPO / "master"))
sys.path.insert(0, str(REPO / "tests"))


@pytest.fixture(scope="session")
def installed_tree(tmp_path_factory):
    """The output of `cmake --install` for the current build, made once."""
    prefix = tmp_path_factory.mktemp("installed")
    subprocess.run(
        ["cmake", "--install", str(BUILD), "--prefix", str(prefix / "vemo")],
        check=True, stdout=subprocess.DEVNULL)
    return prefix


@pytest.fixture
def server_root(installed_tree, tmp_path):
    """A private server root holding a copy of the installed tree."""
    root = tmp_path / "server"
    shutil.copytree(installed_tree, root, symlinks=True)
    (root / "vemo" / "client-side" / "data").mkdir(exist_ok=True)
    return root


def agent_env(root):
    env = dict(os.environ)
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


@pytest.fixture
def py(server_root):
    """py(code) runs `code` against this test's server root."""
    return lambda code, **kw: run_py(server_root, code, **kw)


@pytest.fixture
def agent(server_root):
    """A real agent serving this test's server root, stopped at teardown."""
    import agent_process
    running = agent_process.start_agent(server_root)
    yield running
    running.stop()
