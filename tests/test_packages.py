"""Package management of the private environment: a canned installer for
the marker rules and the command line, and the real installer of a real
virtual environment, offline, for a round trip."""
import shutil
import subprocess
import sys

import pytest

import agent_process
from canned_pip import Canned
from refusals import refusal
from wheels import build_wheel
from vemo_master import Refused, pip_install
from vemo_master import extension as x

def ok(text):
    return {"status": True, "msg": text}


def failed(text):
    return {"status": False, "msg": text}


@pytest.fixture
def canned(server_root):
    """The canned installer and a session with an agent that runs it."""
    installer = Canned(server_root)
    agent = agent_process.start_agent(server_root)
    yield installer, agent.session()
    agent.stop()


INSTALL_CASES = [
    ("Collecting pkg\nSuccessfully installed pkg-1.0\n", "", ok("安装成功!")),
    # The installer sorts what it installed: a dependency may come first.
    ("Successfully installed aaa-2.0 pkg-1.0 zzz-3\n", "", ok("安装成功!")),
    ("", "Successfully installed pkg-1.0\n", ok("安装成功!")),
    ("Requirement already satisfied: pkg in /env\n", "", ok("模块已存在!")),
    ("Requirement already up-to-date: pkg in /env\n", "", ok("已经是最新版本!")),
    ("Successfully installed other-1.0\n", "WARNING: odd\n",
     failed("Successfully installed other-1.0\nWARNING: odd\n")),
    ("", "ERROR: No matching distribution found for pkg\n",
     failed("ERROR: No matching distribution found for pkg\n")),
]

UNINSTALL_CASES = [
    ("Found existing installation: pkg 1.0\nSuccessfully uninstalled pkg-1.0\n", "",
     ok("卸载成功!")),
    ("", "WARNING: Skipping pkg as it is not installed.\n", ok("未安装!")),
    ("partial\n", "ERROR: denied\n", failed("partial\nERROR: denied\n")),
]


def answer_of(call, *args):
    """The result message, a refusal (raised by the library) included."""
    try:
        return call(*args)
    except Refused as exc:
        return failed(exc.msg)


def test_installer_markers_decide_the_answer(canned):
    installer, s = canned
    for out, err, answer in INSTALL_CASES:
        installer.prints(out, err)
        assert answer_of(x.install_mod, s, "pkg") == answer, (out, err)
    for out, err, answer in UNINSTALL_CASES:
        installer.prints(out, err)
        assert answer_of(x.uninstall_mod, s, "pkg") == answer, (out, err)


def test_pinned_requirements_are_judged_by_project_and_version(canned):
    installer, s = canned
    # The installer lists what it installed by project name and version.
    installer.prints("Successfully installed PyYAML-6.0.1 six-1.16.0\n")
    assert x.install_mod(s, "six==1.16.0") == ok("安装成功!")
    assert x.install_mod(s, "pyyaml>=6") == ok("安装成功!")
    installer.prints("Successfully uninstalled six-1.16.0\n")
    assert x.uninstall_mod(s, "six==1.16.0") == ok("卸载成功!")
    installer.prints("Successfully installed sixer-1.16.0\n")
    assert refusal(x.install_mod, s, "six==1.16.0").startswith("Successfully")

    # An installed version that satisfies the pin runs no installer.
    installer.prints("Package Version\n------- -------\nsix     1.16.0\n")
    assert not pip_install(s, "six==1.16.0").changed
    assert installer.argv() == ["list"]
    assert pip_install(s, "six>=1.17", check=True).changed
    assert installer.argv() == ["list"]


def test_command_line_quotes_the_name_and_keeps_args_as_words(canned, tmp_path):
    installer, s = canned
    installer.prints("Successfully installed pkg-1.0\n")
    assert x.install_mod(s, " pkg\n") == ok("安装成功!")
    assert installer.argv() == ["install", "pkg"]
    answer_of(x.install_mod, s, "pkg", "--upgrade   --no-deps")
    assert installer.argv() == ["install", "pkg", "--upgrade", "--no-deps"]
    answer_of(x.uninstall_mod, s, "\tpkg")
    assert installer.argv() == ["uninstall", "pkg", "-y"]
    answer_of(x.uninstall_mod, s, "pkg", "--quiet")
    assert installer.argv() == ["uninstall", "pkg", "--quiet", "-y"]

    owned = tmp_path / "owned"
    for name in ("pkg; touch %s" % owned, "$(touch %s)" % owned, "it's' && touch %s '" % owned):
        answer_of(x.install_mod, s, name)
        assert installer.argv() == ["install", name]
        answer_of(x.uninstall_mod, s, name)
        assert installer.argv() == ["uninstall", name, "-y"]
    assert not owned.exists()


def test_list_pairs_follow_the_interpreters_pattern(canned):
    installer, s = canned
    installer.prints("Package      Version\n------------ -------\nfoo-bar      2.8.1\n"
                     "naïve_pkg    1.0rc1\npip          23.2.1\n", "warn 9.9\n")
    assert x.mod_list(s) == [["bar", "2.8.1"], ["naïve_pkg", "1.0"], ["pip", "23.2.1"]]
    assert installer.argv() == ["list"]

    (installer.bin / "pip").unlink()
    assert x.mod_list(s) == []
    assert "not found" in refusal(x.install_mod, s, "pkg")


# ---------------------------------------------------------------- real pip
@pytest.fixture(scope="module")
def pip_root(installed_tree, tmp_path_factory):
    """A server root whose private environment is a real virtual
    environment that never reaches the network, and a folder of wheels."""
    root = tmp_path_factory.mktemp("pip") / "server"
    shutil.copytree(str(installed_tree), str(root), symlinks=True)
    (root / "vemo" / "client-side" / "data").mkdir(exist_ok=True)
    env = root / "vemo" / "pyenv"
    subprocess.run([sys.executable, "-m", "venv", str(env)], check=True, timeout=300)
    (env / "pip.conf").write_text("[global]\nno-index = true\ndisable-pip-version-check = true\n")
    wheels = root / "wheels"
    wheels.mkdir()
    build_wheel(wheels, "vemoprobe", "1.0", ["aavemodep"])
    build_wheel(wheels, "aavemodep", "2.0.1")
    return root, wheels


def test_real_installer_round_trip(pip_root):
    root, wheels = pip_root
    python = str(root / "vemo" / "pyenv" / "bin" / "python")
    agent = agent_process.start_agent(root)
    try:
        s = agent.session(timeout=300)
        source = "--find-links %s" % wheels
        assert x.install_mod(s, " vemoprobe ", source) == ok("安装成功!")
        imported = subprocess.run(
            [python, "-c", "import vemoprobe, aavemodep; print(vemoprobe.VERSION)"],
            capture_output=True, text=True, timeout=60)
        assert imported.stdout == "1.0\n", imported.stderr
        listed = x.mod_list(s)
        assert ["vemoprobe", "1.0"] in listed and ["aavemodep", "2.0.1"] in listed
        assert x.install_mod(s, "vemoprobe", source) == ok("模块已存在!")

        assert x.uninstall_mod(s, "vemoprobe") == ok("卸载成功!")
        assert x.uninstall_mod(s, "vemoprobe") == ok("未安装!")
        listed = x.mod_list(s)
        assert ["vemoprobe", "1.0"] not in listed and ["aavemodep", "2.0.1"] in listed
    finally:
        agent.stop()
