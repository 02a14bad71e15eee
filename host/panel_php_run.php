<?php
// Runs one function of a plugin's PHP code for the bridge (module scriptor):
//
//   php panel_php_run.php --args_tmp=FILE --plugin_name=NAME --fun=FUNCTION
//
// started with the plugin's directory as working directory.  The plugin
// keeps its PHP functions in NAME_main.php there, beside its NAME_main.py.
// FUNCTION must be a function that file defines; PHP's own functions are
// never reachable this way.  It is called with one argument, the decoded
// arguments file: array('GET' => query fields, 'POST' => form fields and
// 'client_ip').  Its return value is printed as JSON.  A failure of the
// runner itself prints {"status": false, "msg": "..."}, the shape of the
// panel's result messages, and exits with status 1.
//
// Kept to PHP 5.3 syntax: plugins may pin any installed version.

function runner_fail($msg)
{
    echo json_encode(array('status' => false, 'msg' => $msg));
    exit(1);
}

function runner_options()
{
    $opts = getopt('', array('args_tmp:', 'plugin_name:', 'fun:'));
    foreach (array('args_tmp', 'plugin_name', 'fun') as $key) {
        // Given twice, an option arrives as an array.
        if (!isset($opts[$key]) || !is_string($opts[$key]) || $opts[$key] === '') {
            runner_fail('missing option --' . $key);
        }
    }
    return $opts;
}

function runner_arguments($path)
{
    $text = @file_get_contents($path);
    if ($text === false) {
        runner_fail('cannot read the arguments file ' . $path);
    }
    $args = json_decode($text, true);
    if (!is_array($args)) {
        runner_fail('the arguments file is not a JSON object: ' . $path);
    }
    return $args;
}

// The plugin's code file, in the working directory and never elsewhere.
function runner_plugin_file($plugin_name)
{
    if (strpos($plugin_name, '/') !== false) {
        runner_fail('invalid plugin name: ' . $plugin_name);
    }
    $file = getcwd() . '/' . $plugin_name . '_main.php';
    if (!is_file($file)) {
        runner_fail('plugin code not found: ' . $file);
    }
    return $file;
}

// Calls `fun` if it is one of the plugin's functions (lower-case names, as
// PHP lists them) and prints its result.
function runner_call($fun, $args, $plugin_functions)
{
    if (!in_array(strtolower($fun), $plugin_functions, true)) {
        runner_fail('function not found: ' . $fun);
    }
    $json = json_encode(call_user_func($fun, $args));
    if ($json === false) {
        runner_fail('the result cannot be written as JSON: ' . json_last_error_msg());
    }
    echo $json;
}

$runner_opts = runner_options();
$runner_args = runner_arguments($runner_opts['args_tmp']);
$runner_file = runner_plugin_file($runner_opts['plugin_name']);
$runner_known = get_defined_functions();
// At file scope, so that the plugin's top-level variables are globals its
// functions can reach, as when PHP runs the file itself.
require $runner_file;
$runner_defined = get_defined_functions();
runner_call($runner_opts['fun'], $runner_args,
            array_diff($runner_defined['user'], $runner_known['user']));
