"""What each command asks of a connected, keyed session, and how its
answer reads as text. A command returns an Outcome; the checks run once
before any connection."""
import collections
import os
import posixpath
import re
import time

from .. import archives, extension, files, transfer
from .arguments import DEFAULT_PORT, request_args, split_host_port
from .output import UsageError, failed, refused, render_value

Outcome = collections.namedtuple("Outcome", "result text bytes")
Outcome.__new__.__defaults__ = (0,)

SHA1_HEX = re.compile(r"[0-9a-fA-F]{40}")

COMMANDS = {}
CHECKS = {}


def command(name, check=None):
    def register(fun):
        COMMANDS[name] = fun
        if check is not None:
            CHECKS[name] = check
        return fun
    return register


def check_args(args):
    """Raises UsageError, or CommandError for missing local files, before
    anything is sent."""
    check = CHECKS.get(args.command)
    if check is not None:
        check(args)


def _absolute(path):
    if not path.startswith("/"):
        raise UsageError("remote path must be absolute: %r" % path)


def _check_path(args):
    _absolute(args.path)


def _local_file(path):
    if not os.path.isfile(path):
        raise failed("no such local file: %s" % path)


def _status_message(answer):
    """Text of a result message; a failed one is a refusal."""
    files.refused_unless_ok(answer)
    if isinstance(answer, dict) and "msg" in answer and "status" in answer:
        return render_value(answer["msg"])
    return render_value(answer)


def _listed(ctx, answer):
    """An answer that must be a list; anything else (a failed result
    message, the text of an error) is a refusal."""
    files.refused_unless_ok(answer)
    if not isinstance(answer, list):
        raise refused("%s: the agent failed: %s"
                      % (ctx.where, render_value(answer)))
    return answer


def _no_clash(keys, reserved):
    clash = sorted(set(keys) & set(reserved))
    if clash:
        raise UsageError("request keys %s are set by the command itself"
                         % ", ".join(clash))


# --- connection --------------------------------------------------------

@command("ping")
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


# --- files ---------------------------------------------------------------

def _record_line(record, is_dir):
    mtime = time.strftime("%Y-%m-%d %H:%M", time.localtime(record["mtime"]))
    name = record["name"] + ("/" if is_dir else "")
    if record.get("link"):
        name += " -> " + record["link"]
    return "%s%04d %-10s %12d %s %s" % ("d" if is_dir else "-", record["mode"],
                                         record["user"], record["size"],
                                         mtime, name)


@command("ls", _check_path)
def ls(ctx):
    listing = files.list_dir(ctx.session, ctx.args.path)
    lines = [_record_line(r, True) for r in listing["dirs"]]
    lines += [_record_line(r, False) for r in listing["files"]]
    result = {"path": ctx.args.path, "dirs": listing["dirs"],
              "files": listing["files"]}
    return Outcome(result, "\n".join(lines))


def _check_stat(args):
    _absolute(args.path)
    if args.path.rstrip("/") == "":
        raise UsageError("stat needs a path below /")


@command("stat", _check_stat)
def stat(ctx):
    path = ctx.args.path.rstrip("/")
    parent, name = posixpath.split(path)
    listing = files.list_dir(ctx.session, parent or "/")
    for kind in ("dirs", "files"):
        for record in listing[kind]:
            if record["name"] == name:
                result = dict(record, path=path,
                              type="dir" if kind == "dirs" else "file")
                text = "\n".join("%s: %s" % (k, result[k]) for k in (
                    "path", "type", "mode", "user", "size", "mtime", "link"))
                return Outcome(result, text)
    raise refused("%s: no such remote path: %s" % (ctx.where, path))


def _remote_target(local, remote):
    """(directory, name) of an upload, scp style: a remote path ending in
    "/" is a directory that keeps the local name."""
    if remote.endswith("/"):
        return remote.rstrip("/") or "/", os.path.basename(local)
    directory, name = posixpath.split(remote)
    return directory or "/", name


def _check_put(args):
    _absolute(args.remote)
    if args.mode is not None and args.user is None:
        raise UsageError("--mode needs --user as well")
    if args.user is not None and args.mode is None:
        raise UsageError("--user needs --mode as well")
    _local_file(args.local)


@command("put", _check_put)
def put(ctx):
    a = ctx.args
    directory, name = _remote_target(a.local, a.remote)
    remote = posixpath.join(directory, name)
    size = os.path.getsize(a.local)
    progress = ctx.progress(name)
    try:
        outcome = transfer.upload(ctx.session, a.local, directory, name,
                                  mode=a.mode, user=a.user, verify=a.verify,
                                  progress=progress)
    finally:
        progress.finish()
    sent = 0 if outcome.skipped else size - outcome.offset
    result = {"local": a.local, "remote": remote, "size": size,
              "offset": 0 if outcome.skipped else outcome.offset,
              "sent": sent, "skipped": outcome.skipped, "verified": a.verify}
    if outcome.skipped:
        text = "%s already in place (%d bytes)" % (remote, size)
    else:
        text = "%s -> %s: %d bytes sent%s" % (
            a.local, remote, sent,
            " (resumed at %d)" % outcome.offset if outcome.offset else "")
    return Outcome(result, text, sent)


def _check_get(args):
    _absolute(args.remote)
    if args.remote.endswith("/"):
        raise UsageError("remote path must name a file: %r" % args.remote)


def _local_target(remote, local, per_host_dir):
    name = posixpath.basename(remote)
    if per_host_dir is not None:
        directory = os.path.join(local, per_host_dir)
        os.makedirs(directory, exist_ok=True)
        return os.path.join(directory, name)
    if local.endswith(os.sep):
        os.makedirs(local, exist_ok=True)
    if os.path.isdir(local):
        return os.path.join(local, name)
    return local


@command("get", _check_get)
def get(ctx):
    a = ctx.args
    local = _local_target(a.remote, a.local, ctx.per_host_dir)
    partial = local + transfer.PARTIAL_SUFFIX
    held = os.path.getsize(partial) if os.path.isfile(partial) else 0
    progress = ctx.progress(posixpath.basename(a.remote))
    try:
        header = transfer.download(ctx.session, a.remote, local,
                                   verify=a.verify, progress=progress)
    finally:
        progress.finish()
    size = header["f_size"]
    offset = held if held <= size else 0
    received = size - offset
    result = {"remote": a.remote, "local": local, "size": size,
              "offset": offset, "received": received,
              "mode": header.get("f_mode"), "user": header.get("f_user"),
              "verified": a.verify}
    text = "%s -> %s: %d bytes received%s" % (
        a.remote, local, received,
        " (resumed at %d)" % offset if offset else "")
    return Outcome(result, text, received)


def _digest_given(expected):
    """A local file of that name wins over a digest."""
    return not os.path.isfile(expected) and SHA1_HEX.fullmatch(expected)


def _check_sha1(args):
    _absolute(args.remote)
    if not _digest_given(args.expected):
        _local_file(args.expected)


@command("sha1", _check_sha1)
def sha1(ctx):
    a = ctx.args
    if _digest_given(a.expected):
        digest = a.expected.lower()
    else:
        digest = files.local_sha1(a.expected)
    if not files.sha1_matches(ctx.session, a.remote, digest):
        raise failed("%s:%s: SHA-1 is not %s (differs, or no such file)"
                     % (ctx.where, a.remote, digest))
    return Outcome({"remote": a.remote, "sha1": digest, "match": True},
                   "%s: %s matches" % (a.remote, digest))


@command("mkdir", _check_path)
def mkdir(ctx):
    a = ctx.args
    files.make_dir(ctx.session, a.path, a.mode, a.user)
    return Outcome({"path": a.path, "mode": a.mode, "user": a.user},
                   "%s in place" % a.path)


def _set(ctx, mode=None, user=None):
    path = ctx.args.path
    if not files.set_mode(ctx.session, path, mode, user):
        raise refused("%s: no such remote path: %s" % (ctx.where, path))
    result = {"path": path}
    result.update({"mode": mode} if mode is not None else {"user": user})
    text = "%s %s" % (path, "mode %s" % mode
                          if mode is not None else "owner %s" % user)
    return Outcome(result, text)


@command("chmod", _check_path)
def chmod(ctx):
    return _set(ctx, mode=ctx.args.mode)


@command("chown", _check_path)
def chown(ctx):
    return _set(ctx, user=ctx.args.user)


# --- extension service -------------------------------------------------

def _plugin_line(info):
    if isinstance(info, dict) and "name" in info:
        versions = info.get("versions")
        if isinstance(versions, list):
            versions = ", ".join(str(v) for v in versions)
        return "%s %s" % (info["name"], versions if versions else "")
    return render_value(info).replace("\n", " ")


@command("plugins")
def plugins(ctx):
    if ctx.args.name is None:
        listed = _listed(ctx, extension.get_plugin_list(ctx.session))
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


def _answer(value):
    """Outcome of an answer that is any JSON value or text; a failed
    result message is a refusal."""
    return Outcome({"answer": value}, _status_message(value))


def _check_plugin_call(args):
    _no_clash(request_args(args), ("session", "p_name", "p_fun"))


@command("plugin-call", _check_plugin_call)
def plugin_call(ctx):
    a = ctx.args
    return _answer(extension.plugin(ctx.session, a.name, a.fun,
                                    **request_args(a)))


@command("pip")
def pip(ctx):
    a = ctx.args
    if a.action == "list":
        pairs = _listed(ctx, extension.mod_list(ctx.session))
        return Outcome({"packages": pairs},
                       "\n".join("==".join(str(x) for x in p)
                                 if isinstance(p, list) else render_value(p)
                                 for p in pairs))
    act = {"install": extension.install_mod,
           "uninstall": extension.uninstall_mod}[a.action]
    return _answer(act(ctx.session, a.package, a.pip_args))


@command("reload")
def reload(ctx):
    answer = extension.reload_mod(ctx.session, ctx.args.name)
    if isinstance(answer, list):
        text = "\n".join("%s %s" % (p[0], "reloaded" if p[1] else "failed")
                         if isinstance(p, list) and len(p) == 2
                         else render_value(p) for p in answer)
        return Outcome({"answer": answer}, text)
    return _answer(answer)


def _worker_line(entry):
    if not isinstance(entry, dict):
        return render_value(entry)
    return "%-20s %-8s %-10s %s" % (
        entry.get("module"), "running" if entry.get("running") else "stopped",
        "temporary" if entry.get("tmp") else "saved", entry.get("name", ""))


@command("workers")
def workers(ctx):
    a = ctx.args
    if a.action == "list":
        listed = _listed(ctx, extension.warden(ctx.session, "get_thread_list"))
        return Outcome({"workers": listed},
                       "\n".join(_worker_line(e) for e in listed))
    if a.action == "start":
        fun = "create_thread" if a.save else "create_tmp_thread"
        return _answer(extension.warden(ctx.session, fun,
                                        name=a.name or a.module,
                                        module=a.module, args=a.worker_args))
    return _answer(extension.warden(ctx.session, "remove_thread",
                                    module=a.module))


def _check_task(args):
    _no_clash(request_args(args), ("session", "fun"))


@command("task", _check_task)
def task(ctx):
    return _answer(extension.task_admin(ctx.session, ctx.args.fun,
                                        **request_args(ctx.args)))


@command("zip")
def to_zip(ctx):
    a = ctx.args
    return _answer(archives.to_zip(ctx.session, a.source, a.archive,
                                   a.archive_type))


@command("unzip")
def un_zip(ctx):
    a = ctx.args
    return _answer(archives.un_zip(ctx.session, a.archive, a.dest,
                                   a.password))


def _check_relay(args):
    try:
        split_host_port(args.target, DEFAULT_PORT)
    except ValueError as exc:
        raise UsageError(str(exc))
    _no_clash(request_args(args), ("session", "host", "port", "token", "fun"))
    _local_file(args.target_key)


@command("relay", _check_relay)
def relay(ctx):
    a = ctx.args
    host, port = split_host_port(a.target, DEFAULT_PORT)
    with open(a.target_key, "rb") as f:
        token = f.read().decode("ascii", "replace")
    return _answer(extension.other_sock(ctx.session, host, port, token, a.fun,
                                        **request_args(a)))
