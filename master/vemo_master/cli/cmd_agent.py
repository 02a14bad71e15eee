"""Commands of the agent's extension service and the heartbeat: plugins,
packages, module reload, workers, tasks, archives and the relay."""
import time

from .. import archives, crypto, extension, files
from ..errors import AgentFailure, Refused
from .argtypes import DEFAULT_PORT, json_object, key_value, positive_int
from .argtypes import split_host_port
from .checks import local_file, no_clash
from .declare import Command, Outcome, arg
from ..messages import english
from ..workers import ALREADY_RUNNING
from .output import (RelayRefused, UsageError, failed, refused,
                     render_value)

RELAY_FUNS = ("heartbeat", "get_file_list", "check_file_sha1", "create_dir",
              "set_file_mode", "get_plugin_list", "plugin_is_isntalled",
              "plugin", "mod_list", "warden", "task_admin")
TASK_FUNS = ("add_task", "get_task_list", "get_task", "remove_task")
ARCHIVE_TYPES = ("zip", "tar.gz", "tar")
# Where the agent keeps plugins and its private environment, relative to
# its working directory (its install directory).
PLUGIN_DIR = "plugin"
PYENV_BIN = "../pyenv/bin"


def _request_args():
    return [arg("pairs", nargs="*", metavar="KEY=VALUE", type=key_value,
                help="request keys"),
            arg("--args", dest="json_args", type=json_object, metavar="JSON",
                help="request keys as one JSON object")]


def request_args(args):
    """The request keys of a command taking KEY=VALUE and --args."""
    merged = dict(args.json_args or {})
    merged.update(args.pairs)
    return merged


def _status_message(answer):
    """English text of a result message; a failed one is a refusal."""
    files.refused_unless_ok(answer)
    if isinstance(answer, dict) and "msg" in answer and "status" in answer:
        return render_value(english(answer["msg"]))
    return render_value(english(answer))


def _answer(value):
    return Outcome({"answer": value}, _status_message(value))


def _listed(ctx, answer):
    """An answer that must be a list; anything else is a refusal."""
    files.refused_unless_ok(answer)
    if not isinstance(answer, list):
        raise refused("%s: the agent failed: %s"
                      % (ctx.where, render_value(answer)))
    return answer


def _missing_dir(ctx, path):
    try:
        files.list_dir(ctx.session, path)
    except Refused:
        return True
    return False


def ping(ctx):
    rtts = []
    for _ in range(ctx.args.count):
        start = time.monotonic()
        if not ctx.session.heartbeat():
            raise failed("%s: unexpected heartbeat answer" % ctx.where)
        rtts.append((time.monotonic() - start) * 1000.0)
    result = {"connect_ms": round(ctx.connect_seconds * 1000.0, 3),
              "rtt_ms": [round(r, 3) for r in rtts],
              "avg_ms": round(sum(rtts) / len(rtts), 3)}
    if len(rtts) == 1:
        text = "key accepted, heartbeat %.2f ms (connect and key %.1f ms)" % (
            rtts[0], result["connect_ms"])
    else:
        text = ("key accepted, %d heartbeats min/avg/max %.2f/%.2f/%.2f ms"
                % (len(rtts), min(rtts), result["avg_ms"], max(rtts)))
    return Outcome(result, text)


def _plugin_line(info):
    if isinstance(info, dict) and "name" in info:
        versions = info.get("versions")
        if isinstance(versions, list):
            versions = ", ".join(str(v) for v in versions)
        return "%s %s" % (info["name"], versions if versions else "")
    return render_value(info).replace("\n", " ")


def plugins(ctx):
    if ctx.args.name is None:
        try:
            listed = _listed(ctx, extension.get_plugin_list(ctx.session))
        except AgentFailure:
            # An agent without a plugin directory fails the walk.
            if not _missing_dir(ctx, PLUGIN_DIR):
                raise
            listed = []
        return Outcome({"plugins": listed},
                       "\n".join(_plugin_line(i) for i in listed))
    answer = extension.plugin_is_installed(ctx.session, ctx.args.name)
    installed = isinstance(answer, dict) and answer.get("status") is True
    versions = answer.get("msg") if installed else None
    return Outcome({"name": ctx.args.name, "installed": installed,
                    "versions": versions},
                   "%s: %s" % (ctx.args.name, ("installed, versions %s"
                                               % render_value(versions))
                               if installed else "not installed"))


def _check_plugin_call(args):
    no_clash(request_args(args), ("session", "p_name", "p_fun"))


def plugin_call(ctx):
    a = ctx.args
    return _answer(extension.plugin(ctx.session, a.name, a.fun,
                                    **request_args(a)))


def pip(ctx):
    a = ctx.args
    if a.action == "list":
        pairs = _listed(ctx, extension.mod_list(ctx.session))
        # The agent lists nothing, silently, when it has no environment.
        if not pairs and _missing_dir(ctx, PYENV_BIN):
            raise refused("%s: the agent has no private environment "
                          "(<server root>/vemo/pyenv)" % ctx.where)
        return Outcome({"packages": pairs},
                       "\n".join("==".join(str(x) for x in p)
                                 if isinstance(p, list) else render_value(p)
                                 for p in pairs))
    act = {"install": extension.install_mod,
           "uninstall": extension.uninstall_mod}[a.action]
    return _answer(act(ctx.session, a.package, a.pip_args))


def reload(ctx):
    name = ctx.args.name
    answer = extension.reload_mod(ctx.session, name)
    if not isinstance(answer, list):
        return Outcome({"answer": answer, "reloaded": [name]},
                       "%s reloaded" % name)
    reloaded = [p[0] for p in answer if isinstance(p, list) and p[1]]
    broken = [p[0] for p in answer if isinstance(p, list) and not p[1]]
    summary = "%d modules reloaded%s" % (
        len(reloaded), ", failed: " + " ".join(broken) if broken else "")
    if name is not None:
        # The agent reloads everything of its own for a name not loaded.
        raise refused("%s: %s is not a loaded module; the agent reloaded "
                      "all its modules instead: %s" % (ctx.where, name,
                                                       summary))
    text = "\n".join("%s %s" % (m, "reloaded") for m in reloaded)
    text += "".join("\n%s failed" % m for m in broken)
    result = {"answer": answer, "reloaded": reloaded}
    if broken:
        raise failed("%s: %s" % (ctx.where, summary))
    return Outcome(result, text)


def _worker_line(entry):
    if not isinstance(entry, dict):
        return render_value(entry)
    return "%-20s %-8s %-10s %s" % (
        entry.get("module"), "running" if entry.get("running") else "stopped",
        "temporary" if entry.get("tmp") else "saved", entry.get("name", ""))


def _workers(ctx):
    return _listed(ctx, extension.warden(ctx.session, "get_thread_list"))


def workers(ctx):
    a = ctx.args
    if a.action == "list":
        listed = _workers(ctx)
        return Outcome({"workers": listed},
                       "\n".join(_worker_line(e) for e in listed))
    if a.action == "start":
        fun = "create_thread" if a.save else "create_tmp_thread"
        try:
            return _answer(extension.warden(ctx.session, fun,
                                            name=a.name or a.module,
                                            module=a.module,
                                            args=a.worker_args))
        except Refused as exc:
            if exc.msg != ALREADY_RUNNING:
                raise
            return Outcome({"answer": exc.msg, "already_running": True},
                           "%s is already running" % a.module)
    if not any(isinstance(e, dict) and e.get("module") == a.module
               for e in _workers(ctx)):
        raise refused("%s: no worker %s is listed" % (ctx.where, a.module))
    answer = extension.warden(ctx.session, "remove_thread", module=a.module)
    files.refused_unless_ok(answer)
    running = any(isinstance(e, dict) and e.get("module") == a.module
                  and e.get("running") for e in _workers(ctx))
    text = "%s removed from the registry" % a.module
    if running:
        text += ("; its thread runs on until it ends (the agent cannot stop "
                 "it), then leaves the list")
    return Outcome({"answer": answer, "running": running}, text)


def _check_task(args):
    no_clash(request_args(args), ("session", "fun"))


def task(ctx):
    return _answer(extension.task_admin(ctx.session, ctx.args.fun,
                                        **request_args(ctx.args)))


def to_zip(ctx):
    a = ctx.args
    return _answer(archives.to_zip(ctx.session, a.source, a.archive,
                                   a.archive_type))


def un_zip(ctx):
    a = ctx.args
    return _answer(archives.un_zip(ctx.session, a.archive, a.dest,
                                   a.password))


def _check_relay(args):
    try:
        split_host_port(args.target, DEFAULT_PORT)
    except ValueError as exc:
        raise UsageError(str(exc))
    local_file(args.target_key)
    with open(args.target_key, "rb") as f:
        try:
            crypto.wrap_session_key(f.read(), crypto.new_session_key())
        except ValueError:
            raise failed("%s is not an RSA public key (the relay target's "
                         "data/id_rsa.pub)" % args.target_key)


# Failure reports of the relay that mean the other agent was not reached.
_UNREACHED = ("ConnectionRefusedError", "TimeoutError", "timeout",
              "ConnectionResetError", "gaierror", "OSError", "SSLError",
              "ConnectionError", "Unreachable")
# How the relay's client reports an agent that dropped the key it sent.
_KEY_DROPPED = "closed before the key was accepted"


def _relay_failure(ctx, exc):
    """The one line of a relay whose call of the other agent raised."""
    a = ctx.args
    if exc.exception == "KeyRefused" or (exc.exception == "Unreachable"
                                         and _KEY_DROPPED in exc.detail):
        return refused("%s: relay target %s refused the key of %s (is it "
                       "that agent's public key?)"
                       % (ctx.where, a.target, a.target_key))
    if exc.exception in _UNREACHED:
        return failed("%s: relay target %s unreachable: %s"
                      % (ctx.where, a.target, exc.detail or exc.exception))
    return None


def relay(ctx):
    a = ctx.args
    host, port = split_host_port(a.target, DEFAULT_PORT)
    with open(a.target_key, "rb") as f:
        token = f.read().decode("ascii", "replace")
    try:
        answer = extension.relay(ctx.session, host, port, token, a.fun,
                                 request_args(a))
        return _answer(answer)
    except AgentFailure as exc:
        raise _relay_failure(ctx, exc) or exc
    except Refused as exc:
        raise RelayRefused(exc.msg, "%s:%d" % (host, port))


COMMANDS = [
    Command("ping", "connect, exchange the key, time heartbeats", ping,
            [arg("-c", "--count", type=positive_int, default=1,
                 help="heartbeats to send (default 1)")],
            '{"connect_ms", "rtt_ms": [...], "avg_ms"}'),
    Command("plugins", "list plugins, or show whether NAME is installed",
            plugins, [arg("name", nargs="?")],
            '{"plugins": [info]} (empty when the agent has no plugin '
            'directory), or with NAME {"name", "installed", "versions"}'),
    Command("plugin-call", "call a method of a plugin", plugin_call,
            [arg("name"), arg("fun")] + _request_args(),
            '{"answer": what the method returned}', _check_plugin_call),
    Command("pip", "packages of the agent's private environment", pip,
            result='list: {"packages": [[name, version], ...]}, exit 3 '
                   'when the agent has no private environment; install, '
                   'uninstall: {"answer": the agent\'s result message}',
            actions={
                "list": ("installed packages", []),
                "install": ("install a package", [
                    arg("package"), arg("--pip-args", metavar="TEXT",
                                        help="further installer words, e.g. "
                                             "--pip-args --no-index")]),
                "uninstall": ("uninstall a package", [
                    arg("package"), arg("--pip-args", metavar="TEXT",
                                        help="further installer words")])}),
    Command("reload", "reload one loaded module of the agent, or all", reload,
            [arg("name", nargs="?")],
            '{"answer": the agent\'s answer, "reloaded": [module...]}; a '
            'NAME that is not loaded exits 3 (the agent then reloads all)'),
    Command("workers", "background workers of the agent", workers,
            result='list: {"workers": [entry]}; start: {"answer"} (one '
                   'already running: {"answer", "already_running": true}); stop: '
                   '{"answer", "running": whether its thread runs on}',
            actions={
                "list": ("registered workers", []),
                "start": ("start a worker module", [
                    arg("module"),
                    arg("--name", help="display name (default: the module)"),
                    arg("--args", dest="worker_args", type=json_object,
                        default={}, metavar="JSON", help="worker arguments"),
                    arg("--save", action="store_true",
                        help="record it so that it starts with the agent")]),
                "stop": ("remove a listed worker from the registry; its "
                         "thread runs on until it ends", [arg("module")])}),
    Command("task", "call an operation of the panel's task object", task,
            [arg("fun", metavar="FUN", help="one of: %s" % ", ".join(TASK_FUNS))] + _request_args(),
            '{"answer": what the operation returned}', _check_task),
    Command("zip", "pack a remote path into an archive", to_zip,
            [arg("source"), arg("archive"),
             arg("--type", dest="archive_type", default="zip",
                 choices=ARCHIVE_TYPES, help="archive type (default zip)")],
            '{"answer": the agent\'s result message}'),
    Command("unzip", "unpack a remote archive", un_zip,
            [arg("archive"), arg("dest"), arg("--password", default="")],
            '{"answer": the agent\'s result message}'),
    Command("relay", "have the agent call another agent", relay,
            [arg("target", metavar="HOST[:PORT]"),
             arg("target_key", metavar="KEYFILE",
                 help="the other agent's public key file"),
             arg("fun", metavar="FUN",
                 help="one of: %s" % ", ".join(RELAY_FUNS))]
            + _request_args(),
            '{"answer": the other agent\'s answer}; an unreachable target '
            'exits 1', _check_relay,
            notes="e.g. relay H:P KEY warden fun=get_thread_list; "
                  "relay H:P KEY task_admin fun=get_task_list"),
]
