"""Several real agents with their own roots and keys."""
import shutil

import pytest

import agent_process


@pytest.fixture
def fleet(installed_tree, tmp_path):
    """Three agents with their own roots and keys; the last one stopped."""
    agents = []
    try:
        for name in ("a", "b", "c"):
            root = tmp_path / name
            shutil.copytree(str(installed_tree), str(root), symlinks=True)
            (root / "vemo" / "client-side" / "data").mkdir(exist_ok=True)
            agents.append(agent_process.start_agent(root))
        agents[-1].stop()
        yield agents
    finally:
        for running in agents:
            running.stop()
