"""Which installed PHP version runs a plugin's code, and the plugin's own
copy of that version's php.ini with disable_functions emptied."""

import pytest

from php_bridge import add_plugin, drive, install_php
from workers import msg

NO_PHP = msg(False, "没有找到兼容的PHP版本，请先安装")

SOURCE = """[PHP]
engine = On
disable_functions = exec,system,passthru
;disable_functions = popen
disable_functions
   = proc_open
display_errors = On
memory_limit = 64M
"""

REWRITTEN = """[PHP]
engine = On
disable_functions = 
;disable_functions = 
disable_functions = 
display_errors = On
memory_limit = 64M
"""


def prefix(root, version):
    return "%s/php/%s/bin/php -c %s/vemo/plugin/demo/php_cli_%s.ini" % (
        root, version, root, version)


@pytest.fixture
def versions(server_root):
    """5.6 and 7.4 installed; 8.0 has its php.ini but no executable."""
    install_php(server_root, "56", "74")
    install_php(server_root, "80", executable=False)
    return add_plugin(server_root)


def test_default_order_takes_the_newest_installed(versions, server_root, py):
    value = drive(py, """
        import scriptor
        emit([scriptor.scriptor("demo")._scriptor__get_php_bin(), run("demo", "settings")])
    """)
    assert value == [prefix(server_root, "74"),
                     {"disable_functions": "",
                      "ini": str(versions / "php_cli_74.ini")}]


@pytest.mark.parametrize("listed, chosen", [
    ('["5.6", "7.4"]', "56"),
    ('["74", "56"]', "74"),
    ('["8.0", "5.6"]', "56"),
    ('["8.0"]', None),
])
def test_php_version_file_replaces_the_default_order(versions, server_root, py,
                                                     listed, chosen):
    (versions / "php_version.json").write_text(listed)
    value = drive(py, """
        import scriptor
        emit([scriptor.scriptor("demo")._scriptor__get_php_bin(), run("demo", "greeting"),
              os.listdir("../plugin/demo/args")])
    """)
    if chosen is None:
        assert value == [False, NO_PHP, []]
        assert not list(versions.glob("php_cli_*"))
    else:
        assert value == [prefix(server_root, chosen), "hello from the top level", []]


def test_plugin_ini_is_made_once_with_disable_functions_emptied(versions, server_root, py):
    source = server_root / "php" / "74" / "etc" / "php.ini"
    source.write_text(SOURCE)
    source.chmod(0o640)
    first = drive(py, """
        emit(run("demo", "settings"))
    """)
    copy = versions / "php_cli_74.ini"
    assert first == {"disable_functions": "", "ini": str(copy)}
    assert copy.read_text() == REWRITTEN
    assert copy.stat().st_mode & 0o777 == 0o640

    source.write_text("disable_functions = exec\n")
    drive(py, """
        emit(run("demo", "settings"))
    """)
    assert copy.read_text() == REWRITTEN


def test_copy_is_not_left_behind_when_it_cannot_be_made(versions, server_root, py):
    (server_root / "php" / "74" / "etc" / "php.ini").unlink()
    value = drive(py, """
        import public, scriptor

        class FailingWrites:
            def __getattr__(self, name):
                return getattr(public, name)
            def writeFile(self, *args):
                return False

        s = scriptor.scriptor("demo")
        missing = failure(s._scriptor__get_php_bin)
        with open("../../php/74/etc/php.ini", "w") as f:
            f.write("disable_functions = exec\\n")
        scriptor.public = FailingWrites()
        unwritten = failure(s._scriptor__get_php_bin)
        left = sorted(os.listdir("../plugin/demo"))
        scriptor.public = public
        emit([missing[0], unwritten[0], left, s._scriptor__get_php_bin()])
    """)
    assert value == ["FileNotFoundError", "OSError", ["args", "demo_main.php"],
                     prefix(server_root, "74")]
    assert (versions / "php_cli_74.ini").read_text() == "disable_functions = \n"
