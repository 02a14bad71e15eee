"""Stand-in for the panel's task module `panelTask`.

- class `zq_task`: archive jobs `_zip` / `_unzip` (zip and tar.gz) and the
  task-queue operations the master calls by name through the agent's
  `task_admin` command (`add_task`, `get_task_list`, `get_task`,
  `remove_task`), each taking one request mapping.
- function `run(args)`: serves the task queue, the SQLite table `tasks` in
  data/default.db (through public.M), for the life of the process.

Task kinds (column `type`) and their parameters (column `args`, JSON):
- "zip":   {"sfile", "dfile", "stype" ("zip" | "tar_gz"), optional "dir"}
- "unzip": {"sfile", "dfile", optional "password"}
- "shell": {"command", optional "timeout" in seconds (default 3600)}
Task status: "pending" -> "running" -> "done" | "failed"; the column
`result` holds the message or the (tail of the) command output.

All results are plain result messages of public.returnMsg or lists; ordinary
bad input never raises. Python 3.7 compatible.
"""
import json
import os
import posixpath
import re
import signal
import subprocess
import tarfile
import threading
import time
import traceback
import zipfile

import public

TASK_TABLE = "tasks"
STATUS_PENDING = "pending"
STATUS_RUNNING = "running"
STATUS_DONE = "done"
STATUS_FAILED = "failed"
DEFAULT_TIMEOUT = 3600
MAX_RESULT = 64 * 1024

_CREATE_TASKS = (
    "CREATE TABLE IF NOT EXISTS `tasks` ("
    "`id` INTEGER PRIMARY KEY AUTOINCREMENT, "
    "`name` TEXT, "
    "`type` TEXT, "
    "`args` TEXT, "
    "`status` TEXT, "
    "`result` TEXT, "
    "`addtime` INTEGER, "
    "`start_time` INTEGER, "
    "`end_time` INTEGER)")

_TAR_HAS_FILTER = hasattr(tarfile, "data_filter")
_stop_event = threading.Event()


# ---------------------------------------------------------------- helpers
def _log(log, text):
    if not log:
        return
    try:
        with open(log, "a") as f:
            f.write(text + "\n")
    except Exception:
        pass


def _norm_stype(stype):
    s = str(stype or "").strip().lower().lstrip(".").replace("_", ".")
    if s == "zip":
        return "zip"
    if s in ("tar.gz", "tgz", "targz", "gz"):
        return "tar.gz"
    if s == "tar":
        return "tar"
    return None


def _unsafe_name(name):
    """True when an archive member name is absolute or climbs with ".."."""
    n = str(name).replace("\\", "/")
    if n.startswith("/") or re.match(r"^[A-Za-z]:", n):
        return True
    return ".." in n.split("/")


def _inside(path, root):
    return path == root or path.startswith(root.rstrip(os.sep) + os.sep)


def _checked_target(dest_real, name):
    """Target path of member `name` below `dest_real`, or None if escaping
    (also through symbolic links already on disk)."""
    target = os.path.join(dest_real, str(name).replace("\\", "/").lstrip("/"))
    parent = os.path.realpath(os.path.dirname(target.rstrip("/")) or dest_real)
    if not _inside(parent, dest_real):
        return None
    return target


def _walk(src, arc):
    """(path, member name) for src and, for a directory, everything below.
    arc "." means: src's content only, names relative to src."""
    if os.path.isdir(src) and not os.path.islink(src):
        if arc not in (".", ""):
            yield src, arc
        for root, dirs, files in os.walk(src):
            dirs.sort()
            files.sort()
            for n in dirs + files:
                p = os.path.join(root, n)
                rel = os.path.relpath(p, src).replace(os.sep, "/")
                yield p, rel if arc in (".", "") else posixpath.join(arc, rel)
    else:
        yield src, arc


def _as_dict(args):
    if args is None:
        return {}
    if isinstance(args, (str, bytes)):
        try:
            args = json.loads(args) if args else {}
        except ValueError:
            return {}
    if isinstance(args, dict):
        return args
    try:
        return dict(args.items())
    except Exception:
        return {}


def _tail(text):
    if text is None:
        return ""
    if len(text) > MAX_RESULT:
        return text[-MAX_RESULT:]
    return text


# ------------------------------------------------------------------ class
class zq_task(object):
    # ---------------------------------------------------------- archives
    def _zip(self, dir, sfile, dfile, log, stype):
        """Pack sfile (file or directory, recursive) into dfile.
        Member names are relative to `dir` (empty: the working directory)."""
        kind = _norm_stype(stype)
        if kind is None:
            return public.returnMsg(False, "不支持的压缩格式: %s" % (stype,))
        if not sfile or not dfile:
            return public.returnMsg(False, "参数错误: 缺少源路径或目标文件")
        sfile, dfile, base = str(sfile), str(dfile), str(dir or "")
        src = sfile
        if not os.path.lexists(src) and base and not os.path.isabs(sfile):
            src = os.path.join(base, sfile)
        if not os.path.lexists(src):
            return public.returnMsg(False, "指定文件不存在: %s" % sfile)
        arc = os.path.relpath(src, base or ".").replace(os.sep, "/")
        if arc == ".." or arc.startswith("../"):
            arc = os.path.basename(src.rstrip("/")) or "."
        created = False
        try:
            ddir = os.path.dirname(dfile)
            if ddir and not os.path.isdir(ddir):
                os.makedirs(ddir)
            exclude = os.path.realpath(dfile)
            _log(log, "packing %s -> %s (%s)" % (src, dfile, kind))
            count = 0
            if kind == "zip":
                created = True
                with zipfile.ZipFile(dfile, "w", zipfile.ZIP_DEFLATED) as zf:
                    for p, a in _walk(src, arc):
                        if os.path.realpath(p) == exclude:
                            continue
                        if not os.path.exists(p):   # broken symlink
                            _log(log, "skip broken link %s" % p)
                            continue
                        zf.write(p, a)
                        count += 1
                        _log(log, "add %s" % a)
            else:
                mode = "w:gz" if kind == "tar.gz" else "w"
                created = True
                with tarfile.open(dfile, mode) as tf:
                    for p, a in _walk(src, arc):
                        if os.path.realpath(p) == exclude:
                            continue
                        tf.add(p, arcname=a, recursive=False)
                        count += 1
                        _log(log, "add %s" % a)
            _log(log, "done: %d entries" % count)
            return public.returnMsg(True, "压缩成功!")
        except Exception as e:
            if created:
                try:
                    os.unlink(dfile)
                except OSError:
                    pass
            _log(log, "failed: %s" % e)
            return public.returnMsg(False, "压缩失败: %s" % e)

    def _unzip(self, sfile, dfile, password, log):
        """Unpack sfile (zip, tar, tar.gz...) into the directory dfile,
        refusing members that would land outside dfile."""
        if not sfile or not dfile:
            return public.returnMsg(False, "参数错误: 缺少压缩包或目标目录")
        sfile, dfile = str(sfile), str(dfile)
        if not os.path.isfile(sfile):
            return public.returnMsg(False, "指定压缩包不存在: %s" % sfile)
        low = sfile.lower()
        try:
            if zipfile.is_zipfile(sfile):
                kind = "zip"
            elif tarfile.is_tarfile(sfile):
                kind = "tar"
            elif low.endswith(".zip"):
                kind = "zip"
            elif low.endswith((".tar.gz", ".tgz", ".tar", ".tar.bz2",
                               ".tar.xz")):
                kind = "tar"
            else:
                return public.returnMsg(False, "不支持的压缩格式: %s" % sfile)
            if os.path.exists(dfile) and not os.path.isdir(dfile):
                return public.returnMsg(False, "目标不是目录: %s" % dfile)
            if not os.path.isdir(dfile):
                os.makedirs(dfile)
            dest_real = os.path.realpath(dfile)
            _log(log, "unpacking %s -> %s (%s)" % (sfile, dfile, kind))
            if kind == "zip":
                err = self._unzip_zip(sfile, dest_real, password, log)
            else:
                err = self._unzip_tar(sfile, dest_real, log)
            if err:
                _log(log, "failed: %s" % err)
                return public.returnMsg(False, err)
            _log(log, "done")
            return public.returnMsg(True, "解压成功!")
        except Exception as e:
            _log(log, "failed: %s" % e)
            return public.returnMsg(False, "解压失败: %s" % e)

    def _unzip_zip(self, sfile, dest_real, password, log):
        try:
            zf = zipfile.ZipFile(sfile)
        except (zipfile.BadZipFile, OSError) as e:
            return "解压失败: 不是有效的zip文件 (%s)" % e
        with zf:
            infos = zf.infolist()
            for info in infos:
                if _unsafe_name(info.filename):
                    return "解压失败: 压缩包含有不安全的路径: %s" % info.filename
            if password:
                if isinstance(password, str):
                    password = password.encode("utf-8")
                zf.setpassword(password)
            for info in infos:
                target = _checked_target(dest_real, info.filename)
                if target is None:
                    return "解压失败: 路径越出目标目录: %s" % info.filename
                if info.is_dir():
                    if not os.path.isdir(target):
                        os.makedirs(target)
                    continue
                parent = os.path.dirname(target)
                if not os.path.isdir(parent):
                    os.makedirs(parent)
                if os.path.islink(target):
                    os.unlink(target)
                try:
                    with zf.open(info) as src, open(target, "wb") as dst:
                        while True:
                            chunk = src.read(1024 * 1024)
                            if not chunk:
                                break
                            dst.write(chunk)
                except RuntimeError as e:   # encrypted / bad password
                    return "解压失败: 密码错误或需要密码 (%s)" % e
                except zipfile.BadZipFile as e:
                    return "解压失败: 数据损坏或密码错误 (%s)" % e
                except NotImplementedError as e:
                    return "解压失败: 不支持的压缩方式或加密方式 (%s)" % e
                mode = (info.external_attr >> 16) & 0o777
                if info.create_system == 3 and mode:
                    os.chmod(target, mode)
                _log(log, "extract %s" % info.filename)
        return None

    def _unzip_tar(self, sfile, dest_real, log):
        try:
            tf = tarfile.open(sfile, "r:*")
        except (tarfile.TarError, OSError) as e:
            return "解压失败: 不是有效的tar文件 (%s)" % e
        with tf:
            members = tf.getmembers()
            for m in members:
                if _unsafe_name(m.name):
                    return "解压失败: 压缩包含有不安全的路径: %s" % m.name
                if not (m.isreg() or m.isdir() or m.issym() or m.islnk()):
                    return "解压失败: 不支持的成员类型: %s" % m.name
                if (m.issym() or m.islnk()) and _unsafe_name(m.linkname):
                    return "解压失败: 链接指向目标目录之外: %s -> %s" % (
                        m.name, m.linkname)
            for m in members:
                target = _checked_target(dest_real, m.name)
                if target is None:
                    return "解压失败: 路径越出目标目录: %s" % m.name
                if m.islnk() and _checked_target(dest_real, m.linkname) is None:
                    return "解压失败: 链接指向目标目录之外: %s" % m.name
                if not m.isdir() and os.path.islink(target):
                    os.unlink(target)
                if _TAR_HAS_FILTER:
                    tf.extract(m, dest_real, filter="data")
                else:
                    m.mode &= 0o777
                    tf.extract(m, dest_real)
                _log(log, "extract %s" % m.name)
        return None

    # -------------------------------------------------------- task queue
    def add_task(self, args):
        """Queue a task: keys `type` ("zip" | "unzip" | "shell"), optional
        `name`, and `args` (object or JSON text) with the task parameters;
        without `args` the other top-level keys are taken as parameters."""
        try:
            req = _as_dict(args)
            kind = str(req.get("type") or "")
            if kind not in ("zip", "unzip", "shell"):
                return public.returnMsg(False, "不支持的任务类型: %s" % kind)
            params = req.get("args")
            if params is None:
                params = dict((k, v) for k, v in req.items()
                              if k not in ("fun", "type", "name"))
            else:
                params = _as_dict(params)
            if kind == "shell" and not params.get("command"):
                return public.returnMsg(False, "缺少参数: command")
            if kind in ("zip", "unzip") and not (
                    params.get("sfile") and params.get("dfile")):
                return public.returnMsg(False, "缺少参数: sfile/dfile")
            _ensure_table()
            tid = public.M(TASK_TABLE).insert({
                "name": str(req.get("name") or kind),
                "type": kind,
                "args": json.dumps(params),
                "status": STATUS_PENDING,
                "result": "",
                "addtime": int(time.time()),
                "start_time": 0,
                "end_time": 0,
            })
            msg = public.returnMsg(True, "任务已添加!")
            msg["id"] = tid
            return msg
        except Exception as e:
            return public.returnMsg(False, "添加任务失败: %s" % e)

    def get_task_list(self, args=None):
        """All tasks, oldest first; optional key `status` filters."""
        req = _as_dict(args)
        _ensure_table()
        q = public.M(TASK_TABLE)
        if req.get("status"):
            q.where("`status`=?", (str(req["status"]),))
        rows = q.select()
        rows.sort(key=lambda r: r["id"])
        return rows

    def get_task(self, args):
        """One task by `id`, or a failure result message."""
        req = _as_dict(args)
        try:
            tid = int(req.get("id"))
        except (TypeError, ValueError):
            return public.returnMsg(False, "参数错误: id")
        _ensure_table()
        row = public.M(TASK_TABLE).where("`id`=?", (tid,)).find()
        if not row:
            return public.returnMsg(False, "指定任务不存在!")
        return row

    def remove_task(self, args):
        """Delete task `id`; a running task cannot be removed."""
        req = _as_dict(args)
        try:
            tid = int(req.get("id"))
        except (TypeError, ValueError):
            return public.returnMsg(False, "参数错误: id")
        _ensure_table()
        row = public.M(TASK_TABLE).where("`id`=?", (tid,)).find()
        if not row:
            return public.returnMsg(False, "指定任务不存在!")
        if row["status"] == STATUS_RUNNING:
            return public.returnMsg(False, "任务正在执行,无法删除!")
        public.M(TASK_TABLE).where("`id`=?", (tid,)).delete()
        return public.returnMsg(True, "任务已删除!")


# ------------------------------------------------------------- task queue
def _ensure_table(db_file=None):
    public.M(None, db_file).execute(_CREATE_TASKS, ())


def _run_shell(command, timeout):
    """(ok, output) of a shell command, killed with its group on time-out."""
    proc = subprocess.Popen(command, shell=True, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except OSError:
            pass
        out, _ = proc.communicate()
        text = out.decode("utf-8", "replace") if out else ""
        return False, _tail(text + "\n[timeout after %ss]" % timeout)
    text = out.decode("utf-8", "replace") if out else ""
    if proc.returncode != 0:
        text += "\n[exit status %d]" % proc.returncode
    return proc.returncode == 0, _tail(text)


def _execute_task(row):
    """(ok, result text) for one task row; never raises."""
    try:
        params = _as_dict(row.get("args"))
        kind = row.get("type")
        if kind == "zip":
            sfile = str(params.get("sfile") or "")
            base = params.get("dir")
            if base is None:
                base = sfile.rstrip("/").rpartition("/")[0] if "/" in sfile \
                    else ""
            r = zq_task()._zip(base, sfile, params.get("dfile"),
                               params.get("log", "/dev/null"),
                               params.get("stype", "zip"))
            return bool(r.get("status")), str(r.get("msg"))
        if kind == "unzip":
            r = zq_task()._unzip(params.get("sfile"), params.get("dfile"),
                                 params.get("password", ""),
                                 params.get("log", "/dev/null"))
            return bool(r.get("status")), str(r.get("msg"))
        if kind == "shell":
            timeout = params.get("timeout") or DEFAULT_TIMEOUT
            return _run_shell(str(params["command"]), float(timeout))
        return False, "不支持的任务类型: %s" % (kind,)
    except Exception:
        return False, _tail(traceback.format_exc())


def _claim_next(db_file):
    """Mark the oldest pending task running and return it, or None."""
    rows = public.M(TASK_TABLE, db_file).where(
        "`status`=?", (STATUS_PENDING,)).select()
    rows.sort(key=lambda r: r["id"])
    for row in rows:
        n = public.M(TASK_TABLE, db_file).where(
            "`id`=? AND `status`=?", (row["id"], STATUS_PENDING)).update(
            {"status": STATUS_RUNNING, "start_time": int(time.time())})
        if n:
            return row
    return None


def run_once(db_file=None):
    """Run at most one pending task; True when one was run."""
    row = _claim_next(db_file)
    if row is None:
        return False
    ok, result = _execute_task(row)
    public.M(TASK_TABLE, db_file).where("`id`=?", (row["id"],)).update({
        "status": STATUS_DONE if ok else STATUS_FAILED,
        "result": result,
        "end_time": int(time.time()),
    })
    return True


def stop():
    """Ask a running `run` loop to return (used by tests and shutdown)."""
    _stop_event.set()


def run(args=None):
    """Serve the task queue until stop() is called (normally: for the life
    of the process). `args` (mapping or JSON text) may set "interval", the
    poll period in seconds (default 1). Never raises on a bad task."""
    opts = _as_dict(args)
    try:
        interval = float(opts.get("interval", 1))
    except (TypeError, ValueError):
        interval = 1.0
    # Bind the database once: later changes of the working directory must
    # not move the queue.
    db_file = os.path.abspath(public.DB_FILE)
    try:
        _ensure_table(db_file)
        # Tasks left running by an earlier process were interrupted.
        public.M(TASK_TABLE, db_file).where(
            "`status`=?", (STATUS_RUNNING,)).update(
            {"status": STATUS_FAILED, "result": "interrupted",
             "end_time": int(time.time())})
    except Exception:
        print(public.get_error_info())
    try:
        while not _stop_event.is_set():
            try:
                if run_once(db_file):
                    continue
            except Exception:
                print(public.get_error_info())
            _stop_event.wait(interval)
    finally:
        _stop_event.clear()
