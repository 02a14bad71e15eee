"""Module reload in a running agent: modules in class/ count how often
their code runs (in <name>.runs beside the agent)."""
import pytest

import agent_process
from vemo_master import MsgType
from vemo_master import extension as x

COUNTED = 'open(__name__ + ".runs", "a").write("x")\n'
MODULES = {
    "tick_a": COUNTED,
    "boom": 'import os\nagain = os.path.exists("boom.runs")\n' + COUNTED +
            'if again:\n    raise RuntimeError("boom on reload")\n',
    "spawner": 'import os\nif os.path.exists("spawner.runs"):\n    import late\n' + COUNTED,
    "late": COUNTED,
    "tick_b": COUNTED,
}
RELOADED = {"status": True, "msg": "模块已重新加载"}


@pytest.fixture
def counted(server_root):
    side = server_root / "vemo" / "client-side"
    for name, code in MODULES.items():
        (side / "class" / (name + ".py")).write_text(code)
    (side / "class" / "pyenv").mkdir()
    (side / "class" / "pyenv" / "private.py").write_text(COUNTED)
    agent = agent_process.start_agent(
        server_root, setup="import tick_a, boom, spawner, tick_b, pyenv.private")
    yield agent
    agent.stop()


def runs(agent, name):
    path = agent.install_dir / (name + ".runs")
    return len(path.read_text()) if path.exists() else 0


def own_modules(side):
    """Names of the modules the agent's own side of the server provides."""
    found = {"client"}
    for folder in ("class", "threads"):
        found |= {p.name.split(".")[0] for p in (side / folder).iterdir()
                  if p.suffix in (".py", ".so")}
    return found


def test_named_module_is_reloaded_alone(counted):
    s = counted.session()
    assert x.reload_mod(s, "tick_a") == RELOADED
    assert (runs(counted, "tick_a"), runs(counted, "tick_b")) == (2, 1)
    # Unguarded: a failing named reload is the agent's failure report.
    assert b"boom on reload" in s.request(MsgType.RELOAD_MOD, {"name": "boom"})


def test_walk_reloads_the_agents_own_modules_and_survives_failures(counted):
    s = counted.session()
    pairs = x.reload_mod(s)
    names = [name for name, _ in pairs]
    ours = [pair for pair in pairs if pair[0] in MODULES]
    assert ours == [["tick_a", True], ["boom", False], ["spawner", True], ["tick_b", True]]
    assert [runs(counted, n) for n in MODULES] == [2, 2, 2, 1, 2]
    assert runs(counted, "pyenv.private") == 1
    # Nothing of the interpreter's own (standard library, site-packages),
    # nothing without a file, not the main module.
    assert set(names) <= own_modules(counted.install_dir)
    assert {"client", "public", "warden"} <= set(names)

    # A name that is not loaded (or not verbatim) walks again, now with the
    # module the first walk loaded; the agent still imports and serves.
    again = {n for n, _ in x.reload_mod(s, " tick_a")}
    assert "late" in again and again <= own_modules(counted.install_dir)
    assert runs(counted, "tick_a") == 3
    assert {n for n, _ in x.reload_mod(s, "never_loaded")} == again
