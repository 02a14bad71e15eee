"""What a registry test's child process uses beside `warden`: the gate
workers' and the task-queue double's records (see workers.py), and the
registry's SQLite table.  Standard library only: it runs in the fresh
interpreter that loads the modules."""
import json
import os
import sqlite3
import time


def release(*names):
    for name in names:
        open(name + ".release", "w").close()


def calls(name):
    if not os.path.exists(name + ".calls"):
        return []
    with open(name + ".calls") as f:
        return [json.loads(line) for line in f.read().split("\n")[:-1]]


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
