"""Calls of the agent's extension service: plugins, packages, module
reload, worker and task commands, and the relay to another agent.

Each function takes a connected, keyed Session and returns the agent's
answer as a Python value: its JSON value, or its text when the answer is
bare text (a plugin or task operation may answer text). A result message
whose status is false raises Refused, a failure report of the agent
AgentFailure.
"""
from .calls import answer as _answer, call as _call
from .types import MsgType


def get_plugin_list(session):
    """The parsed info.json of every installed plugin."""
    return _call(session, MsgType.GET_PLUGIN_LIST)


def plugin_is_installed(session, p_name):
    """Result message whose msg is the plugin's `versions` when present;
    a missing plugin is a result message with status false, not raised."""
    return _answer(session, MsgType.PLUGIN_IS_ISNTALLED, {"p_name": p_name})


def plugin(session, p_name, p_fun, **args):
    """What method `p_fun` of plugin `p_name` returns; `args` are further
    request keys the method reads."""
    return _call(session, MsgType.PLUGIN, dict(args, p_name=p_name, p_fun=p_fun))


def install_mod(session, name, args=None):
    """Install `name` into the agent's private environment; `args` is
    further installer command-line text."""
    return _call(session, MsgType.INSTALL_MOD, _package(name, args))


def uninstall_mod(session, name, args=None):
    return _call(session, MsgType.UNINSTALL_MOD, _package(name, args))


def mod_list(session):
    """[name, version] pairs of the private environment's packages."""
    return _call(session, MsgType.MOD_LIST)


def reload_mod(session, name=None):
    """Reload one loaded module, or (name None or not loaded) every module
    of the agent's own, answered as [name, reloaded] pairs."""
    return _call(session, MsgType.RELOAD_MOD, {} if name is None else {"name": name})


def warden(session, fun, **args):
    """Operation `fun` of the agent's worker registry."""
    return _call(session, MsgType.WARDEN, dict(args, fun=fun))


def task_admin(session, fun, **args):
    """Operation `fun` of the panel's task object."""
    return _call(session, MsgType.TASK_ADMIN, dict(args, fun=fun))


def other_sock(session, host, port, token, fun, **args):
    """Have the agent call operation `fun` of its relay client on the
    agent at host:port (whose public key is `token`) with `args` as named
    arguments."""
    return relay(session, host, port, token, fun, args)


def relay(session, host, port, token, fun, args):
    """other_sock() with the named arguments as one dict, which may hold
    any key (`fun` of a relayed worker or task call, for instance)."""
    return _call(session, MsgType.OTHER_SOCK, {
        "host": host, "port": port, "token": token, "fun": fun, "args": args})


def _package(name, args):
    request = {"name": name}
    if args is not None:
        request["args"] = args
    return request
