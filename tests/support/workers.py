"""Worker modules and panel doubles for the registry tests, and a runner
that drives the registry in a fresh process (loading `warden` changes the
working directory and the module search path, so never in pytest's)."""
import json
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

PRELUDE = '''
import json, os, sqlite3, sys, time
sys.path.insert(0, os.path.abspath("class"))   # where the agent finds warden

def release(*names):
    for name in names:
        open(name + ".release", "w").close()

def calls(name):
    if not os.path.exists(name + ".calls"):
        return []
    with open(name + ".calls") as f:
        return [json.loads(line) for line in f.read().split("\\n")[:-1]]

def wait_called(name, count=1):
    deadline = time.time() + 20
    while len(calls(name)) < count:
        if time.time() > deadline:
            raise AssertionError("%s was not called %d times" % (name, count))
        time.sleep(0.01)

def join(name):
    import warden
    thread = warden.warden._Threads_objs[name]
    thread.join(20)
    assert not thread.is_alive(), name

def rows():
    con = sqlite3.connect("data/default.db")
    try:
        con.row_factory = sqlite3.Row
        return [dict(r) for r in con.execute("SELECT * FROM warden ORDER BY id")]
    finally:
        con.close()

def emit(value):
    print("@@RESULT@@" + json.dumps(value), flush=True)
'''

MARK = "@@RESULT@@"


def install_doubles(root, *workers):
    """The panelTask double in class/ and gate workers in threads/."""
    side = root / "vemo" / "client-side"
    (side / "class" / "panelTask.py").write_text(PANEL_TASK_DOUBLE)
    for name in workers:
        (side / "threads" / (name + ".py")).write_text(GATE_WORKER)
    return side


def drive(py, code, **kw):
    """Run PRELUDE + code; returns (value passed to emit, process)."""
    proc = py(PRELUDE + textwrap.dedent(code), **kw)
    results = [line[len(MARK):] for line in proc.stdout.splitlines()
               if line.startswith(MARK)]
    assert len(results) == 1, proc.stdout + proc.stderr
    return json.loads(results[0]), proc


def msg(status, text):
    """A result message as the panel's returnMsg builds it."""
    return {"status": status, "msg": text}
