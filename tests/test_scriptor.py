"""PHP bridge `scriptor`: loading, the object's private attributes, the
arguments file and its clean-up, running a plugin's PHP function end to end
through the real PHP CLI, and values that try to escape the shell line."""
import pytest

from php_bridge import add_plugin, drive, install_php
from workers import msg

NO_PHP = msg(False, "没有找到兼容的PHP版本，请先安装")


@pytest.fixture
def demo(server_root):
    install_php(server_root, "74")
    return add_plugin(server_root)


def test_load_binds_its_modules_and_needs_the_web_request(server_root, py):
    loaded = drive(py, """
        import json as j, os as o, re, public
        os.chdir("/")
        import scriptor
        emit({"cwd": os.getcwd(),
              "bound": [scriptor.json is j, scriptor.os is o, scriptor.time is time,
                        scriptor.re is re, scriptor.public is public,
                        scriptor.request is ZQ_VEMO.request],
              "bases": [b.__name__ for b in scriptor.scriptor.__bases__]})
    """)
    assert loaded == {"cwd": "/", "bound": [True] * 6, "bases": ["object"]}
    refused = drive(py, """
        refused = []
        for stand_in in (None, types.ModuleType("ZQ_VEMO")):
            sys.modules["ZQ_VEMO"] = stand_in
            try:
                import scriptor
            except ImportError:
                refused.append(True)
        emit(refused)
    """)
    assert refused == [True, True]


def test_objects_keep_their_own_arguments_file(demo, server_root, py):
    value = drive(py, """
        import scriptor
        os.umask(0o022)
        a, b = scriptor.scriptor("demo"), scriptor.scriptor("demo")
        seen = [a.exec_php_script(types.SimpleNamespace(s="args_file")) for _ in range(2)]
        os.umask(0o277)
        masked = scriptor.scriptor("new/deep")._scriptor__args_dir
        emit({"a": vars(a), "b": b._scriptor__args_tmp, "seen": seen,
              "left": os.listdir(a._scriptor__args_dir),
              "modes": [oct(os.stat(d).st_mode & 0o777)
                        for d in (a._scriptor__args_dir, masked)]})
    """)
    plugin = str(server_root / "vemo" / "plugin" / "demo")
    a = value["a"]
    tmp = a.pop("_scriptor__args_tmp")
    assert a == {"_scriptor__plugin_name": "demo", "_scriptor__plugin_path": plugin,
                 "_scriptor__args_dir": plugin + "/args"}
    for name in (tmp, value["b"]):
        head, random = name.rsplit("/", 1)
        assert head == plugin + "/args" and len(random) == 32 and random.isalnum()
    assert value["b"] != tmp
    assert value["seen"] == [tmp, tmp]
    assert value["left"] == []
    assert value["modes"] == ["0o600", "0o400"]


def test_php_function_receives_query_and_form_fields(demo, py):
    value = drive(py, """
        import scriptor
        ZQ_VEMO.set_request(args={"q": "中文"}, form={"a": "1", "client_ip": "6.6.6.6", "z": "2"},
                            remote_addr="10.1.2.3")
        s = scriptor.scriptor("demo")
        s._scriptor__write_args(None)
        with open(s._scriptor__args_tmp, encoding="utf-8") as f:
            text = f.read()
        result = s.exec_php_script(types.SimpleNamespace(s="echo_args"))
        emit([text, result, list(result["POST"]), os.listdir(s._scriptor__args_dir)])
    """)
    assert value == [
        '{"GET": {"q": "\\u4e2d\\u6587"}, "POST": {"a": "1", "client_ip": "10.1.2.3", "z": "2"}}',
        {"GET": {"q": "中文"}, "POST": {"a": "1", "client_ip": "10.1.2.3", "z": "2"}},
        ["a", "client_ip", "z"],
        [],
    ]


def test_output_is_parsed_as_json_or_returned_as_text(demo, py):
    value = drive(py, """
        emit({fun: run("demo", fun) for fun in
              ("echo_args", "greeting", "warn_then_answer", "plain_text", "silent")})
    """)
    assert value.pop("echo_args") == {"GET": [], "POST": {"client_ip": "127.0.0.1"}}
    assert value.pop("greeting") == "hello from the top level"
    warned = value.pop("warn_then_answer")
    assert "Warning: careful" in warned and warned.endswith('{"ok":true}')
    assert value == {"plain_text": "not json", "silent": ""}


def test_without_php_nothing_is_written_or_run(server_root, py):
    add_plugin(server_root)
    value = drive(py, """
        emit([run("demo", "echo_args"), sorted(os.listdir("../plugin/demo")),
              os.listdir("../plugin/demo/args")])
    """)
    assert value == [NO_PHP, ["args", "demo_main.php"], []]


def test_stale_arguments_files_go_after_sixty_seconds(demo, py):
    value = drive(py, """
        import scriptor
        s = scriptor.scriptor("demo")
        stale = s._scriptor__args_dir + "/stale"
        open(stale, "w").close()
        born = os.stat(stale).st_ctime
        kept = []
        for age in (59, 60, 61):
            scriptor.time = types.SimpleNamespace(time=lambda: born + age)
            s._scriptor__write_args(None)
            kept.append(os.path.exists(stale))
        emit([kept, os.path.exists(s._scriptor__args_tmp)])
    """)
    assert value == [[True, True, False], True]


def test_missing_arguments_dir_fails_the_run(demo, py):
    value = drive(py, """
        import scriptor
        s = scriptor.scriptor("demo")
        os.rmdir(s._scriptor__args_dir)
        emit([s._scriptor__clean_args_file(),
              failure(lambda: s.exec_php_script(types.SimpleNamespace(s="echo_args")))])
    """)
    assert value[0] is False
    assert value[1][0] == "OSError" and "arguments file" in value[1][1]


def test_other_threads_run_while_php_works(demo, py):
    value = drive(py, """
        import threading
        ticks, stop = [], threading.Event()
        def tick():
            while not stop.is_set():
                ticks.append(1)
                time.sleep(0.01)
        ticker = threading.Thread(target=tick)
        ticker.start()
        time.sleep(0.05)
        before = len(ticks)
        out = run("demo", "slow")
        during = len(ticks) - before
        stop.set()
        ticker.join(5)
        emit([out, during])
    """)
    assert value[0] == "done"
    assert value[1] >= 20


def test_shell_characters_in_values_run_nothing(demo, server_root, tmp_path, py):
    functions = ['x";touch owned1;"', "$(touch owned2)", "`touch owned3`",
                 'x\\";touch owned4;\\"', "x'; touch owned5; '", "$HOME"]
    odd = 'odd name;$(touch owned6)`touch owned7`"q\\ $HOME'
    add_plugin(server_root, odd)
    value = drive(py, """
        emit([[run("demo", f) for f in %r], run(%r, "greeting")])
    """ % (functions, odd))
    assert value[0] == [msg(False, "function not found: " + f) for f in functions]
    assert value[1] == "hello from the top level"
    assert list(tmp_path.rglob("owned*")) == []
