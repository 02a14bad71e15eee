"""Worker modules and panel doubles for the registry tests, and a runner
that drives the registry in a fresh process (loading `warden` changes the
working directory and the module search path, so never in pytest's)."""
import inspect
import json
import pathlib
import textwrap

# A worker that records each argument it is started with in <module>.calls
# and then runs until <module>.release exists (at most 30 s), so that a
# test decides when it ends.
GATE_WORKER = '''
import json, os, time

def run(args):
    with open(__name__ + ".calls", "a") as f:
        f.write(json.dumps(args) + "\\n")
    deadline = time.time() + 30
    while not os.path.exists(__name__ + ".release") and time.time() < deadline:
        time.sleep(0.01)
'''

# The panel's task queue, reduced to recording the argument of each call.
PANEL_TASK_DOUBLE = '''
import json, os, time

calls = []

def run(args):
    calls.append(args)
    with open("panelTask.calls", "a") as f:
        f.write(json.dumps(args) + "\\n")
    deadline = time.time() + 30
    while os.path.exists("panelTask.hold") and time.time() < deadline:
        time.sleep(0.01)
'''

# Run before a scenario: the support directory for worker_child, and
# class/ first, where the agent finds warden.
PROLOGUE = """
import json, os, sys
sys.path.insert(0, %r)
sys.path.insert(0, os.path.abspath("class"))
"""
MARK = "@@RESULT@@"


def install_doubles(root, *workers):
    """The panelTask double in class/ and gate workers in threads/."""
    side = root / "vemo" / "client-side"
    (side / "class" / "panelTask.py").write_text(PANEL_TASK_DOUBLE)
    for name in workers:
        (side / "threads" / (name + ".py")).write_text(GATE_WORKER)
    return side


def drive(py, scenario, *args):
    """Run function `scenario(*args)` in a fresh interpreter against the
    test's server root: its source is sent, so it imports what it uses
    (worker_child for the records).  Returns (its JSON value, process)."""
    code = (PROLOGUE % str(pathlib.Path(__file__).resolve().parent)
            + textwrap.dedent(inspect.getsource(scenario))
            + "print(%r + json.dumps(%s(*%r)), flush=True)\n" % (MARK, scenario.__name__, args))
    proc = py(code)
    results = [line[len(MARK):] for line in proc.stdout.splitlines()
               if line.startswith(MARK)]
    assert len(results) == 1, proc.stdout + proc.stderr
    return json.loads(results[0]), proc


def msg(status, text):
    """A result message as the panel's returnMsg builds it."""
    return {"status": status, "msg": text}
