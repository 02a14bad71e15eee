"""Shared fixtures: an installed tree per test session, a fresh server root
per test, and helpers that run the real modules in their own processes
(importing them changes the working directory, so never in pytest's)."""
import pathlib
import shutil
import subprocess
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "master"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "support"))

from harness import BUILD, run_py  # noqa: E402

# Fixtures shared by modules in more than one directory.
pytest_plugins = ["local_users", "fleet"]


@pytest.fixture(autouse=True)
def known_hosts_home(tmp_path, monkeypatch):
    """Masters pin agent certificates per test: every agent has a fresh
    certificate, often on a port an earlier test used."""
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))


@pytest.fixture(scope="session")
def installed_tree(tmp_path_factory):
    """The output of `cmake --install` for the current build, made once."""
    prefix = tmp_path_factory.mktemp("installed")
    subprocess.run(
        ["cmake", "--install", str(BUILD), "--strip", "--prefix", str(prefix / "vemo")],
        check=True, stdout=subprocess.DEVNULL)
    return prefix


@pytest.fixture
def server_root(installed_tree, tmp_path):
    """A private server root holding a copy of the installed tree."""
    root = tmp_path / "server"
    shutil.copytree(installed_tree, root, symlinks=True)
    (root / "vemo" / "client-side" / "data").mkdir(exist_ok=True)
    return root


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


@pytest.fixture
def probed_agent(server_root):
    """An agent with the test probe installed (see probe.py)."""
    import agent_process
    import probe
    running = agent_process.start_agent(server_root, setup=probe.SETUP)
    yield running
    running.stop()
