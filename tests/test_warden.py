"""Worker registry `warden`: load-time setup, the class tables, the SQLite
table `warden` (through public.M), starting, listing and removing workers,
and the restart of recorded workers by `run`.  Each scenario runs in a
fresh interpreter (see workers.drive) and returns what the test checks."""
import time

import pytest

from workers import drive, install_doubles, msg

NOT_FOUND = "threads目录下没有找到[{0}.py]或[{0}.so]文件"
STARTED = msg(True, "线程创建成功!")
RECORDED = msg(True, "已添加到线程池!")
REFUSED = msg(False, "请不要重复创建线程!")
REMOVED = msg(True, "从线程池删除成功")


@pytest.fixture
def side(server_root):
    """The install directory with the task-queue double and gate workers."""
    return install_doubles(server_root, "gate", "gate2", "gate3", "quick")


def test_load_enters_install_dir_and_searches_threads_then_class(side, py):
    def load_from_elsewhere(class_dir):
        import json
        import os
        import sys
        import threading
        import time
        os.chdir("/")
        sys.path.insert(0, class_dir)
        import public
        import warden
        return {"cwd": os.getcwd(), "path": sys.path[:2],
                "bases": [b.__name__ for b in warden.warden.__bases__],
                "tables": [warden.warden._Threads, warden.warden._Threads_objs],
                "imports": [warden.Thread is threading.Thread, warden.public is public,
                            warden.time is time, warden.json is json]}

    value, _ = drive(py, load_from_elsewhere, str(side / "class"))
    assert value == {"cwd": str(side), "path": ["threads/", "class/"], "bases": ["object"],
                     "tables": [[], {}], "imports": [True, True, True, True]}


def test_constructor_creates_table_and_records_bedrock_once(side, py):
    def first_start():
        import sqlite3
        import warden
        from worker_child import calls, join, rows, wait_called
        w = warden.warden()
        wait_called("panelTask")
        con = sqlite3.connect("data/default.db")
        columns = [list(c[1:3]) + [c[5]] for c in con.execute("PRAGMA table_info(warden)")]
        con.close()
        join("bedrock")
        return {"columns": columns, "rows": rows(), "list": w.get_thread_list(None),
                "calls": calls("panelTask")}

    def later_start():
        import warden
        from worker_child import calls, rows
        w = warden.warden()
        w2 = warden.warden()
        return {"rows": rows(), "list": w.get_thread_list(None), "calls": calls("panelTask"),
                "shared": w._Threads is w2._Threads is warden.warden._Threads}

    first, _ = drive(py, first_start)
    assert first["columns"] == [["id", "INTEGER", 1], ["name", "TEXT", 0],
                                ["module", "TEXT", 0], ["args", "TEXT", 0],
                                ["addtime", "INTEGER", 0]]
    [row] = first["rows"]
    assert (row["name"], row["module"], row["args"]) == ("后台任务队列", "bedrock", "{}")
    assert abs(row["addtime"] - time.time()) < 60
    [entry] = first["list"]
    assert (entry["name"], entry["module"], entry["tmp"], entry["running"]) == \
        ("后台任务队列", "bedrock", False, False)
    assert first["calls"] == [{}]

    # A later start finds the row: nothing is started or recorded again,
    # although the bedrock worker is not running.
    second, _ = drive(py, later_start)
    assert second == {"rows": first["rows"], "list": [], "calls": [{}], "shared": True}


def test_temporary_worker_runs_is_listed_then_pruned(side, py):
    def temporary():
        import time
        import warden
        from worker_child import calls, join, release, rows, wait_called
        w = warden.warden()
        before = time.time()
        out = {"start": w.create_tmp_thread({"name": "门", "module": "gate",
                                             "args": {"k": [1, "x"]}, "fun": "x"})}
        wait_called("gate")
        out["again"] = w.create_tmp_thread({"name": "门", "module": "gate", "args": {}})
        out["entry"] = dict(w._Threads[0])
        out["s_time_ok"] = int(before) <= w._Threads[0]["s_time"] <= time.time()
        out["running"] = [dict(e) for e in w.get_thread_list(None) if e["module"] == "gate"]
        release("gate")
        join("gate")
        out["after"] = [e["module"] for e in w.get_thread_list(None)]
        out["freed"] = "gate" in w._Threads_objs
        out["restart"] = w.create_tmp_thread({"name": "门", "module": "gate", "args": 7})
        join("gate")
        out["calls"] = calls("gate")
        out["rows"] = [r["module"] for r in rows()]
        return out

    value, _ = drive(py, temporary)
    assert value["start"] == STARTED
    assert value["again"] == REFUSED
    entry = value["entry"]
    assert set(entry) == {"name", "module", "tmp", "s_time"}
    assert (entry["name"], entry["module"], entry["tmp"]) == ("门", "gate", True)
    assert isinstance(entry["s_time"], int) and value["s_time_ok"]
    assert [(e["tmp"], e["running"]) for e in value["running"]] == [(True, True)]
    assert value["after"] == ["bedrock"]
    assert value["freed"] is False
    assert value["restart"] == STARTED
    assert value["calls"] == [{"k": [1, "x"]}, 7]
    assert value["rows"] == ["bedrock"]


def test_persistent_worker_is_recorded_and_stays_listed_after_its_end(side, py):
    def persistent():
        import warden
        from worker_child import calls, join, release, rows
        w = warden.warden()
        out = {"start": w.create_thread({"name": "G", "module": "gate",
                                         "args": {"a": "é", "n": [1, 2]}})}
        out["entry_tmp"] = w._Threads[0]["tmp"]
        release("gate")
        join("gate")
        out["lists"] = [[(e["module"], e["tmp"], e["running"]) for e in w.get_thread_list(None)]
                        for _ in range(2)]
        out["tmp_again"] = w.create_tmp_thread({"name": "G", "module": "gate", "args": {}})
        out["create_again"] = w.create_thread({"name": "G", "module": "gate", "args": {}})
        out["rows"] = rows()
        out["calls"] = calls("gate")
        return out

    value, _ = drive(py, persistent)
    assert value["start"] == RECORDED
    assert value["entry_tmp"] is False
    assert value["lists"] == [[["gate", False, False], ["bedrock", False, False]]] * 2
    assert value["tmp_again"] == REFUSED
    assert value["create_again"] == REFUSED
    assert [r["module"] for r in value["rows"]] == ["bedrock", "gate"]
    row = value["rows"][1]
    assert row["name"] == "G"
    assert row["args"] == '{"a": "\\u00e9", "n": [1, 2]}'   # json.dumps defaults
    assert isinstance(row["addtime"], int)
    assert value["calls"] == [{"a": "é", "n": [1, 2]}]


def test_remove_running_persistent_worker_prunes_it_after_its_end(side, py):
    def remove_while_running():
        import os
        import warden
        from worker_child import join, release, rows, wait_called
        w = warden.warden()
        w.create_thread({"name": "G", "module": "gate", "args": {}})
        wait_called("gate")
        out = {"remove": w.remove_thread({"module": "gate"}), "rows": rows()}
        out["while_running"] = [(e["module"], e["tmp"], e["running"])
                                for e in w.get_thread_list(None)]
        out["still_taken"] = w.create_tmp_thread({"name": "G", "module": "gate", "args": {}})
        release("gate")
        join("gate")
        out["after_end"] = [e["module"] for e in w.get_thread_list(None)]
        out["objs"] = sorted(w._Threads_objs)
        out["unknown"] = w.remove_thread({"module": "never"})
        os.remove("gate.release")
        out["again"] = w.create_tmp_thread({"name": "G", "module": "gate", "args": {}})
        return out

    value, _ = drive(py, remove_while_running)
    assert value["remove"] == REMOVED
    assert [r["module"] for r in value["rows"]] == ["bedrock"]
    assert value["while_running"] == [["gate", True, True], ["bedrock", False, False]]
    assert value["still_taken"] == REFUSED
    assert value["after_end"] == ["bedrock"]
    assert value["objs"] == ["bedrock"]
    assert value["unknown"] == REMOVED
    assert value["again"] == STARTED


def test_one_listing_prunes_every_ended_temporary_worker(side, py):
    def all_ended():
        import warden
        from worker_child import join, release
        w = warden.warden()
        release("gate", "gate2", "gate3", "quick")
        for name in ("gate", "gate2", "gate3"):
            w.create_tmp_thread({"name": name, "module": name, "args": None})
        w.create_thread({"name": "q", "module": "quick", "args": None})
        for name in ("gate", "gate2", "gate3", "quick"):
            join(name)
        return {"list": [(e["module"], e["running"]) for e in w.get_thread_list(None)],
                "entries": [e["module"] for e in w._Threads], "objs": sorted(w._Threads_objs)}

    assert drive(py, all_ended)[0] == {"list": [["quick", False], ["bedrock", False]],
                                       "entries": ["quick", "bedrock"],
                                       "objs": ["bedrock", "quick"]}


def test_refused_starts_answer_why_and_store_nothing(side, py):
    (side / "threads" / "broken.py").write_text("raise RuntimeError('cannot load')\n")
    (side / "threads" / "norun.py").write_text("X = 1\n")

    def refused_starts():
        import public
        import warden
        from worker_child import calls, rows
        w = warden.warden()
        unnamed = public.dict_obj()
        unnamed["module"] = "gate"
        unnamed["args"] = {}
        return {"missing": [w.create_tmp_thread({"name": "n", "module": "nope", "args": {}}),
                            w.create_thread({"name": "n", "module": "nope", "args": {}})],
                "unnamed": [w.create_tmp_thread(unnamed),
                            w.create_thread({"module": "gate", "args": {}})],
                "broken": w.create_tmp_thread({"name": "b", "module": "broken", "args": {}}),
                "norun": w.create_tmp_thread({"name": "n", "module": "norun", "args": {}}),
                "entries": [e["module"] for e in w._Threads], "objs": sorted(w._Threads_objs),
                "rows": [r["module"] for r in rows()], "calls": calls("gate")}

    value, _ = drive(py, refused_starts)
    assert value["missing"] == [msg(False, NOT_FOUND.format("nope"))] * 2
    assert value["unnamed"] == [msg(False, "the request has no 'name'")] * 2
    assert value["broken"]["status"] is False
    assert "RuntimeError: cannot load" in value["broken"]["msg"]
    assert value["norun"]["status"] is False
    assert "AttributeError" in value["norun"]["msg"]
    assert (value["entries"], value["objs"], value["rows"], value["calls"]) == \
        (["bedrock"], ["bedrock"], ["bedrock"], [])


def test_module_with_only_a_so_file_is_accepted(side, py):
    # bedrock itself is the delivered .so-only worker; a second .so file
    # that is no extension passes the file test and fails only at import,
    # unless a module of that name is already loaded, which is reused.
    (side / "threads" / "solo.so").write_bytes(b"not an ELF file")
    (side / "threads" / "loaded.so").write_bytes(b"not an ELF file")
    assert not (side / "threads" / "bedrock.py").exists()

    def so_only():
        import sys
        import types
        import warden
        from worker_child import join, wait_called
        w = warden.warden()
        wait_called("panelTask")
        loaded = types.ModuleType("loaded")
        loaded.run = lambda args: loaded.__dict__.setdefault("got", args)
        sys.modules["loaded"] = loaded
        out = {"bedrock": [(e["module"], e["tmp"]) for e in w._Threads],
               "solo": w.create_tmp_thread({"name": "s", "module": "solo", "args": {}}),
               "loaded": w.create_tmp_thread({"name": "l", "module": "loaded", "args": [3]})}
        join("loaded")
        out["got"] = loaded.got
        out["same"] = sys.modules["loaded"] is loaded
        return out

    value, _ = drive(py, so_only)
    assert value["bedrock"] == [["bedrock", False]]
    assert value["solo"]["status"] is False
    assert value["solo"]["msg"] != NOT_FOUND.format("solo")
    assert "ImportError" in value["solo"]["msg"]
    assert value["loaded"] == STARTED
    assert value["got"] == [3] and value["same"] is True


def test_run_restarts_recorded_workers_in_a_new_process(side, py):
    def record_two():
        import warden
        from worker_child import calls, join, release
        w = warden.warden()
        release("gate", "gate2")
        w.create_thread({"name": "one", "module": "gate", "args": {"n": 1}})
        w.create_thread({"name": "two", "module": "gate2", "args": ["x", 2]})
        for name in ("gate", "gate2", "bedrock"):
            join(name)
        # The constructor already started bedrock: run meets its row and is
        # refused silently.
        return {"run": w.run(), "bedrock": [e["module"] for e in w._Threads].count("bedrock"),
                "calls": calls("panelTask")}

    def restart():
        import warden
        from worker_child import calls, join
        w = warden.warden()
        out = {"before": list(w._Threads), "run": w.run()}
        for name in ("gate", "gate2", "bedrock"):
            join(name)
        out["list"] = [(e["name"], e["module"], e["tmp"]) for e in w.get_thread_list(None)]
        out["calls"] = [calls(n) for n in ("gate", "gate2", "panelTask")]
        return out

    assert drive(py, record_two)[0] == {"run": True, "bedrock": 1, "calls": [{}]}
    second, _ = drive(py, restart)
    assert second["before"] == []
    assert second["run"] is True
    # Rows are started in the store's order; each start goes to the front.
    assert second["list"] == [["two", "gate2", False], ["one", "gate", False],
                              ["后台任务队列", "bedrock", False]]
    assert second["calls"] == [[{"n": 1}, {"n": 1}], [["x", 2], ["x", 2]], [{}, {}]]


def test_run_skips_a_row_with_bad_json_and_starts_the_rest(side, py):
    def store_rows():
        import public
        import warden
        warden.warden()
        for module, args in (("gate", '{"a": 1}'), ("gate2", '{not json'),
                             ("gate3", None), ("quick", '[2]')):
            public.M("warden").insert({"name": module, "module": module,
                                       "args": args, "addtime": 1})

    def run_them():
        import warden
        from worker_child import calls, join, release, rows
        w = warden.warden()
        release("gate", "quick")
        out = {"run": w.run()}
        for name in ("gate", "quick"):
            join(name)
        out["objs"] = sorted(w._Threads_objs)
        out["calls"] = [calls(n) for n in ("gate", "gate2", "gate3", "quick")]
        out["rows"] = len(rows())
        return out

    drive(py, store_rows)
    value, proc = drive(py, run_them)
    assert value == {"run": True, "objs": ["bedrock", "gate", "quick"],
                     "calls": [[{"a": 1}], [], [], [[2]]], "rows": 5}
    assert "JSONDecodeError" in proc.stdout
    assert "worker [gate2] not started" in proc.stdout
    assert "worker [gate3] not started" in proc.stdout


def test_run_thread_starts_a_recorded_or_given_worker(side, py):
    def run_by_module():
        import public
        import warden
        from worker_child import calls, join, release, rows
        w = warden.warden()
        w.remove_thread({"module": "bedrock"})
        release("gate", "gate2")
        w.create_thread({"name": "one", "module": "gate", "args": {"n": 1}})
        for name in ("gate", "bedrock"):
            join(name)
        w.remove_thread({"module": "gate"})
        w.get_thread_list(None)
        public.M("warden").insert({"name": "one", "module": "gate",
                                   "args": '{"n": 1}', "addtime": 1})
        request = public.dict_obj()          # what the master's command passes
        request["module"] = "gate"
        out = {"stored": w.run_thread(request)}
        join("gate")
        out["p_info"] = sorted(request["p_info"])
        out["missing"] = w.run_thread({"module": "nope"})
        out["given"] = w.run_thread({"p_info": {"name": "two", "module": "gate2",
                                                "args": {"given": True}}})
        join("gate2")
        out["calls"] = [calls("gate"), calls("gate2")]
        out["list"] = [(e["module"], e["tmp"]) for e in w.get_thread_list(None)]
        out["rows"] = [r["module"] for r in rows()]
        return out

    value, _ = drive(py, run_by_module)
    assert value["stored"] == STARTED
    assert value["p_info"] == ["addtime", "args", "id", "module", "name"]
    assert value["missing"] == msg(False, "没有找到[nope]")
    assert value["given"] == STARTED
    # A stored row keeps its JSON text when started by module name.
    assert value["calls"] == [[{"n": 1}, '{"n": 1}'], [{"given": True}]]
    assert value["list"] == [["gate2", False], ["gate", False]]
    assert value["rows"] == ["gate"]


def test_refusal_that_cannot_name_the_module_raises_the_format_error(side, py):
    # Plugin code may pass a tuple, which "%s" cannot format: the
    # interpreter's TypeError reaches it, not a refusal built on nothing.
    def start_a_tuple():
        import warden
        try:
            warden.warden().run_thread({"p_info": {}, "module": ("a", "b")})
        except TypeError as e:
            return str(e)

    value, _ = drive(py, start_a_tuple)
    assert "not all arguments converted" in value


def test_run_on_an_empty_table_starts_nothing(side, py):
    def run_empty():
        import warden
        from worker_child import join
        w = warden.warden()
        w.remove_thread({"module": "bedrock"})
        join("bedrock")
        w.get_thread_list(None)
        return {"run": w.run(), "entries": list(w._Threads), "objs": list(w._Threads_objs),
                "list": w.get_thread_list(None)}

    assert drive(py, run_empty)[0] == {"run": True, "entries": [], "objs": [], "list": []}


def test_result_messages_come_from_public_returnMsg(side, py):
    public_py = side / "class" / "public.py"
    public_py.write_text(public_py.read_text() + (
        "\n_plain_returnMsg = returnMsg\n"
        "def returnMsg(status, msg):\n"
        "    result = _plain_returnMsg(status, msg)\n"
        "    result['via'] = 'double'\n"
        "    return result\n"))

    def every_answer():
        import warden
        from worker_child import release
        w = warden.warden()
        release("gate")
        return [w.create_tmp_thread({"name": "g", "module": "gate", "args": 1}),
                w.create_tmp_thread({"name": "g", "module": "gate", "args": 1}),
                w.create_tmp_thread({"name": "g", "module": "nope", "args": 1}),
                w.create_tmp_thread({"module": "gate3", "args": 1}),
                w.create_thread({"name": "g", "module": "gate2", "args": 1}),
                w.remove_thread({"module": "gate2"}),
                w.run_thread({"module": "nope"})]

    value, _ = drive(py, every_answer)
    assert [r.pop("via") for r in value] == ["double"] * 7
    assert [r["status"] for r in value] == [True, False, False, False, True, True, False]
