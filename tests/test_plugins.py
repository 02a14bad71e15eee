"""Plugin catalogue and invocation through a real agent: plugins are
written into the test root's plugin/ directory."""
import os
import subprocess
import sysconfig

from plugin_files import NO_METHOD, NO_PLUGIN, NOT_INSTALLED, UNSAFE, entry, write_plugin
from refusals import refusal
from vemo_master import MsgType
from vemo_master import extension as x

def test_catalogue_lists_each_info_json_in_directory_order(agent):
    side, s = agent.install_dir, agent.session()
    assert b"FileNotFoundError" in s.request(MsgType.GET_PLUGIN_LIST)
    (side / "plugin").mkdir()
    assert x.get_plugin_list(s) == []

    infos = {"alpha": {"name": "alpha", "versions": ["1.0"]}, "beta": "just text",
             "gamma": 7, ".hidden": {"h": True}}
    for name, info in infos.items():
        write_plugin(side, name, info)
    write_plugin(side, "no_info", files={"no_info_main.py": "x = 1\n"})
    (side / "plugin" / "stray.json").write_text("{}")
    listed = [infos[n] for n in os.listdir(str(side / "plugin")) if n in infos]
    assert x.get_plugin_list(s) == listed
    assert len(listed) == 4

    (side / "plugin" / "gamma" / "info.json").write_text("{broken")
    assert b"JSONDecodeError" in s.request(MsgType.GET_PLUGIN_LIST)


def test_installed_answers_the_versions_value_or_not_installed(agent):
    side, s = agent.install_dir, agent.session()
    write_plugin(side, "listed", {"versions": ["1.0", "2.0"]})
    write_plugin(side, "scalar", {"versions": "3.1", "name": "scalar"})
    write_plugin(side, "bare", files={"bare_main.py": "x = 1\n"})
    assert x.plugin_is_installed(s, "listed") == {"status": True, "msg": ["1.0", "2.0"]}
    assert x.plugin_is_installed(s, "scalar") == {"status": True, "msg": "3.1"}
    assert x.plugin_is_installed(s, "bare") == NOT_INSTALLED
    assert x.plugin_is_installed(s, "absent") == NOT_INSTALLED
    assert x.plugin_is_installed(s, " listed") == NOT_INSTALLED   # used verbatim


def test_invocation_picks_the_entry_module_and_answers_its_result(agent):
    side, s = agent.install_dir, agent.session()
    write_plugin(side, "both", files={
        "both_client.py": entry("both_client", """
            def who(self, request):
                return "client"
            def echo(self, request):
                return {"keys": sorted(request.keys()), "extra": request["extra"]}
            def fail(self, request):
                raise RuntimeError("plugin broke")
        """),
        "both_main.py": entry("both_main", """
            def who(self, request):
                return "main"
        """)})
    write_plugin(side, "fallback", files={"fallback_main.py": entry("fallback_main", """
        def who(self, request):
            return ["main", 1, None]
    """)})
    write_plugin(side, "empty", {"versions": "1"})

    assert x.plugin(s, " both\n", "\twho ") == "client"
    assert x.plugin(s, "both", "echo", extra={"n": [1]}) == {
        "keys": ["extra", "p_fun", "p_name"], "extra": {"n": [1]}}
    assert x.plugin(s, "fallback", "who") == ["main", 1, None]
    assert refusal(x.plugin, s, "both", "missing") == NO_METHOD["msg"]
    assert refusal(x.plugin, s, "empty", "who") == NO_PLUGIN["msg"]
    assert refusal(x.plugin, s, "both", "../who") == UNSAFE["msg"]
    assert refusal(x.plugin, s, "nowhere", "../who") == NO_PLUGIN["msg"]
    failure = s.request(MsgType.PLUGIN, {"p_name": "both", "p_fun": "fail"})
    assert b"RuntimeError: plugin broke" in failure


SO_SOURCE = r'''
#include <Python.h>
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "native_main", NULL, -1, NULL};
PyMODINIT_FUNC PyInit_native_main(void) {
    PyObject *m = PyModule_Create(&def), *r;
    if (!m) return NULL;
    r = PyRun_String("class native_main(object):\n"
                     "    def who(self, request):\n"
                     "        return 'native ' + request['p_name']\n",
                     Py_file_input, PyModule_GetDict(m), PyModule_GetDict(m));
    if (!r) { Py_DECREF(m); return NULL; }
    Py_DECREF(r);
    return m;
}
'''


def test_shared_object_entry_is_found_and_imported_by_its_name(agent, tmp_path):
    side, s = agent.install_dir, agent.session()
    folder = write_plugin(side, "native")
    source = tmp_path / "native.c"
    source.write_text(SO_SOURCE)
    subprocess.run(
        [sysconfig.get_config_var("CC").split()[0], "-shared", "-fPIC",
         "-I", sysconfig.get_paths()["include"], str(source),
         "-o", str(folder / "native_main.so")], check=True, timeout=60)
    assert x.plugin(s, "native", "who") == "native native"
    assert x.plugin(s, "native", "who") == "native native"


def test_each_call_reloads_the_module_and_makes_a_fresh_object(agent):
    side, s = agent.install_dir, agent.session()
    source = entry("live_main", """
        def __init__(self):
            self.calls = 0
        def probe(self, request):
            self.calls += 1
            return [VERSION, self.calls, sys.path.count("plugin/live")]
    """)
    folder = write_plugin(side, "live", files={"live_main.py": 'VERSION = "one"\n' + source})
    assert x.plugin(s, "live", "probe") == ["one", 1, 1]
    (folder / "live_main.py").write_text('VERSION = "second"\n' + source)
    assert x.plugin(s, "live", "probe") == ["second", 1, 2]
