"""Base worker module `bedrock`: load-time setup and the hand-over of its
thread to the panel's task queue (`panelTask.run`).  Each scenario runs in
a fresh interpreter (see workers.drive)."""
from workers import drive, install_doubles, msg


def test_load_enters_install_dir_and_puts_class_first(server_root, py):
    side = install_doubles(server_root)

    def load_from_elsewhere(threads_dir):
        import os
        import sys
        os.chdir("/")
        sys.path.insert(0, threads_dir)
        import bedrock
        import panelTask
        return {"cwd": os.getcwd(), "first": sys.path[0],
                "panelTask": bedrock.panelTask is panelTask,
                "double": os.path.samefile(panelTask.__file__, "class/panelTask.py")}

    value, _ = drive(py, load_from_elsewhere, str(side / "threads"))
    assert value == {"cwd": str(side), "first": "class/", "panelTask": True, "double": True}


def test_run_passes_its_argument_and_returns_none(server_root, py):
    install_doubles(server_root)

    def run_three_ways():
        import sys
        sys.path.insert(0, "threads")
        import bedrock
        import panelTask
        args = {"x": [1]}
        return {"results": [bedrock.run(), bedrock.run(args), bedrock.run(args=7)],
                "calls": panelTask.calls, "same": panelTask.calls[1] is args}

    assert drive(py, run_three_ways)[0] == {
        "results": [None, None, None], "calls": [None, {"x": [1]}, 7], "same": True}


def test_registry_keeps_working_while_the_task_queue_holds_the_thread(server_root, py):
    side = install_doubles(server_root)
    (side / "panelTask.hold").touch()

    def held_then_ended():
        import os
        import warden
        from worker_child import join, wait_called
        w = warden.warden()
        wait_called("panelTask")
        out = {"held": [(e["module"], e["running"]) for e in w.get_thread_list(None)]}
        os.remove("panelTask.hold")
        join("bedrock")
        out["ended"] = [(e["module"], e["running"]) for e in w.get_thread_list(None)]
        return out

    assert drive(py, held_then_ended)[0] == {
        "held": [["bedrock", True]], "ended": [["bedrock", False]]}


def test_after_bedrock_loads_class_is_searched_before_threads(server_root, py):
    side = install_doubles(server_root)
    for folder in ("class", "threads"):
        (side / folder / "dup.py").write_text(
            "def run(args):\n    open('dup.%s', 'w').close()\n" % folder)

    def start_dup():
        import os
        import sys
        import warden
        from worker_child import join
        w = warden.warden()
        out = {"path": sys.path[:3],
               "start": w.create_tmp_thread({"name": "d", "module": "dup", "args": {}})}
        join("dup")
        out["ran"] = sorted(f for f in os.listdir(".") if f.startswith("dup."))
        return out

    assert drive(py, start_dup)[0] == {"path": ["class/", "threads/", "class/"],
                                       "start": msg(True, "线程创建成功!"), "ran": ["dup.class"]}


def test_without_panelTask_bedrock_is_neither_started_nor_recorded(server_root, py):
    side = install_doubles(server_root)
    (side / "class" / "panelTask.py").unlink()

    def start_bedrock():
        import warden
        from worker_child import rows
        w = warden.warden()
        return {"create": w.create_tmp_thread({"name": "b", "module": "bedrock", "args": {}}),
                "entries": list(w._Threads), "objs": list(w._Threads_objs), "rows": rows()}

    value, _ = drive(py, start_bedrock)
    assert value["create"]["status"] is False
    assert "No module named 'panelTask'" in value["create"]["msg"]
    assert value["entries"] == [] and value["objs"] == [] and value["rows"] == []
