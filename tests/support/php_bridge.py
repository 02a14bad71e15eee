"""PHP installations, demo plugins and a driver for the PHP bridge tests.

Installations are laid out as the panel lays them out, <root>/php/<ver>/
with bin/php (a link to the real PHP CLI) and etc/php.ini.  `scriptor` runs
in a fresh interpreter per test, as plugin code would load it."""
import json
import shutil
import textwrap

PHP = shutil.which("php")

SOURCE_INI = "display_errors = On\nlog_errors = Off\ndisable_functions = exec,system\n"

# The demo plugin's PHP code: each function shows one side of the bridge.
DEMO_PHP = r"""<?php
$demo_greeting = 'hello from the top level';

function echo_args($args) { return $args; }

function greeting($args) { global $demo_greeting; return $demo_greeting; }

function args_file($args)
{
    foreach ($GLOBALS['argv'] as $arg) {
        if (strpos($arg, '--args_tmp=') === 0) return substr($arg, 11);
    }
    return null;
}

function settings($args)
{
    return array('disable_functions' => ini_get('disable_functions'),
                 'ini' => php_ini_loaded_file());
}

function warn_then_answer($args)
{
    trigger_error('careful', E_USER_WARNING);
    return array('ok' => true);
}

function plain_text($args) { echo 'not json'; exit(0); }

function silent($args) { exit(0); }

function slow($args) { usleep(800000); return 'done'; }
"""

MARK = "@@RESULT@@"

PRELUDE = '''
import json, os, sys, time, types
sys.path.insert(0, "class")
import ZQ_VEMO

def emit(value):
    print("%s" + json.dumps(value), flush=True)

def run(plugin, fun):
    import scriptor
    return scriptor.scriptor(plugin).exec_php_script(types.SimpleNamespace(s=fun))

def failure(call):
    try:
        call()
    except Exception as e:
        return [type(e).__name__, str(e)]
    return None
''' % MARK


def install_php(root, *versions, ini=SOURCE_INI, executable=True):
    """PHP installations under <root>/php/; without `executable`, only
    etc/php.ini (a version that is not really installed)."""
    assert PHP, "the PHP CLI (php-cli) is needed"
    for version in versions:
        home = root / "php" / version
        (home / "etc").mkdir(parents=True)
        (home / "etc" / "php.ini").write_text(ini)
        if executable:
            (home / "bin").mkdir()
            (home / "bin" / "php").symlink_to(PHP)


def add_plugin(root, name="demo", code=DEMO_PHP):
    """A plugin directory under <root>/vemo/plugin with its PHP code."""
    home = root / "vemo" / "plugin" / name
    home.mkdir(parents=True, exist_ok=True)
    (home / (name + "_main.php")).write_text(code)
    return home


def drive(py, code, **kw):
    """Run PRELUDE + code in a fresh interpreter; the value it emitted."""
    proc = py(PRELUDE + textwrap.dedent(code), **kw)
    results = [line[len(MARK):] for line in proc.stdout.splitlines()
               if line.startswith(MARK)]
    assert len(results) == 1, proc.stdout + proc.stderr
    return json.loads(results[0])

