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
import binascii
import errno
import grp
import json
import os
import posixpath
import pwd
import re
import shutil
import signal
import stat
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

_stop_event = threading.Event()
_PATH = os.O_PATH | os.O_CLOEXEC
_DOS_DIRECTORY = 0x10
# Zip stores local times from 1980 to 2107.
_ZIP_TIME_RANGE = (315619200, 4354732800)


# ---------------------------------------------------------------- helpers
def _log(log, text):
    """Append a line to the log file `log`: a regular file only, never
    through a link; "/dev/null" (what the agent passes) means no log."""
    if not log or log == os.devnull:
        return
    try:
        fd = os.open(log, os.O_WRONLY | os.O_APPEND | os.O_CREAT |
                     os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, 0o644)
        with os.fdopen(fd, "a") as f:
            if stat.S_ISREG(os.fstat(fd).st_mode):
                f.write(text + "\n")
    except OSError:
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


# ------------------------------------------------- files of local users
# The agent runs as root, and the trees it packs and the directories it
# unpacks into belong to local users, who may plant links, FIFOs and other
# files there, or swap them in while a job runs.  Below the source or the
# destination no link is followed and nothing but a regular file is opened.
# The paths the master names lead through a link only when root or the
# owner of what the link leads to made it, as the kernel's protected-
# symlinks rule has it.

def _step(dir_fd, name, create=False):
    """O_PATH descriptor of entry `name` of directory `dir_fd`; a link is
    followed only when root or the owner of its target made it. create:
    a missing entry is made a directory."""
    try:
        st = os.lstat(name, dir_fd=dir_fd)
    except FileNotFoundError:
        if not create:
            raise
        try:
            os.mkdir(name, 0o755, dir_fd=dir_fd)
        except FileExistsError:
            pass
        st = os.lstat(name, dir_fd=dir_fd)
    if not stat.S_ISLNK(st.st_mode):
        # Swapped for a link meanwhile: this is the link itself, which
        # neither serves as a directory nor as a regular file.
        return os.open(name, _PATH | os.O_NOFOLLOW, dir_fd=dir_fd)
    fd = os.open(name, _PATH, dir_fd=dir_fd)
    again = os.lstat(name, dir_fd=dir_fd)
    if (again.st_ino, again.st_uid) != (st.st_ino, st.st_uid) or \
            st.st_uid not in (0, os.fstat(fd).st_uid):
        os.close(fd)
        raise OSError(errno.EPERM, "另一用户创建的链接", name)
    return fd


def _open_path(path, create=False):
    """O_PATH descriptor of `path` as the master names it (see _step)."""
    fd = os.open("/" if path.startswith("/") else ".", _PATH | os.O_DIRECTORY)
    try:
        for name in path.split("/"):
            if name not in ("", "."):
                next_fd = _step(fd, name, create)
                os.close(fd)
                fd = next_fd
    except BaseException:
        os.close(fd)
        raise
    return fd


def _reopen(path_fd, flags=os.O_RDONLY):
    """The regular file behind O_PATH descriptor `path_fd` opened for real,
    or None when it is anything else: a FIFO or a device is never opened."""
    if not stat.S_ISREG(os.fstat(path_fd).st_mode):
        return None
    return os.open("/proc/self/fd/%d" % path_fd, flags | os.O_CLOEXEC)


def _member_parts(name):
    """Path components of archive member `name` below the destination, or
    None when the name is absolute or climbs out with ".."."""
    n = str(name).replace("\\", "/")
    if n.startswith("/") or re.match(r"^[A-Za-z]:", n):
        return None
    parts = [p for p in n.split("/") if p not in ("", ".")]
    return None if ".." in parts else parts


def _refusal(members):
    """Why members (name, kind, link target), kind one of "dir", "file",
    "symlink", "hardlink", cannot all be unpacked below the destination;
    None when they can."""
    links = set()
    for name, kind, _target in members:
        parts = _member_parts(name)
        if parts is None or (not parts and kind != "dir"):
            return "解压失败: 压缩包含有不安全的路径: %s" % name
        if kind in ("symlink", "hardlink"):
            links.add(tuple(parts))
    for name, kind, target in members:
        parts = _member_parts(name)
        # Link targets only lead down from the link (a hard link's: from
        # the destination), so that no chain of links climbs out.
        if kind in ("symlink", "hardlink") and _member_parts(target) is None:
            return "解压失败: 链接指向目标目录之外: %s -> %s" % (name, target)
        paths = [parts, _member_parts(target)] if kind == "hardlink" else [parts]
        for path in paths:
            if any(tuple(path[:i]) in links for i in range(1, len(path))):
                return "解压失败: 成员位于链接之下: %s" % name
    return None


class _Destination(object):
    """Writes members below the destination directory. Every step is taken
    without following a link, so that neither the archive's own links nor
    ones a local user plants, even while this runs, lead a member out."""

    def __init__(self, fd):
        self.fd = fd

    def _dir(self, parts, create=True):
        fd = os.dup(self.fd)
        try:
            for name in parts:
                if create:
                    try:
                        os.mkdir(name, 0o755, dir_fd=fd)
                    except FileExistsError:
                        pass
                next_fd = os.open(name, _PATH | os.O_NOFOLLOW | os.O_DIRECTORY,
                                  dir_fd=fd)
                os.close(fd)
                fd = next_fd
        except BaseException:
            os.close(fd)
            raise
        return fd

    @staticmethod
    def _clear(dir_fd, name):
        """Remove what stands at `name` (a directory stays: an error)."""
        try:
            st = os.lstat(name, dir_fd=dir_fd)
        except FileNotFoundError:
            return
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, "目标已是目录", name)
        os.unlink(name, dir_fd=dir_fd)

    def directory(self, parts, mode=None):
        fd = self._dir(parts)
        try:
            if mode is not None and parts:
                dfd = os.open(".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC,
                              dir_fd=fd)
                os.fchmod(dfd, (mode & 0o777) | 0o700)
                os.close(dfd)
        finally:
            os.close(fd)

    def file(self, parts, data, mode=None, mtime=None):
        fd = self._dir(parts[:-1])
        try:
            self._clear(fd, parts[-1])
            out = os.open(parts[-1], os.O_WRONLY | os.O_CREAT | os.O_EXCL |
                          os.O_NOFOLLOW | os.O_CLOEXEC, 0o600, dir_fd=fd)
        finally:
            os.close(fd)
        with os.fdopen(out, "wb") as f:
            shutil.copyfileobj(data, f, 1024 * 1024)
            f.flush()
            os.fchmod(out, 0o644 if mode is None else mode & 0o777)
            if mtime is not None:
                os.utime(out, (mtime, mtime))

    def symlink(self, parts, target):
        fd = self._dir(parts[:-1])
        try:
            self._clear(fd, parts[-1])
            os.symlink(target, parts[-1], dir_fd=fd)
        finally:
            os.close(fd)

    def hardlink(self, parts, target_parts):
        src = self._dir(target_parts[:-1], create=False)
        try:
            fd = self._dir(parts[:-1])
            try:
                self._clear(fd, parts[-1])
                os.link(target_parts[-1], parts[-1], src_dir_fd=src,
                        dst_dir_fd=fd, follow_symlinks=False)
            finally:
                os.close(fd)
        finally:
            os.close(src)


# ------------------------------------------------------------- packing
class _ZipOut(object):
    def __init__(self, f):
        self.archive = zipfile.ZipFile(f, "w", zipfile.ZIP_DEFLATED)

    @staticmethod
    def _info(arc, st):
        when = min(max(st.st_mtime, _ZIP_TIME_RANGE[0]), _ZIP_TIME_RANGE[1])
        info = zipfile.ZipInfo(arc, time.localtime(when)[:6])
        info.create_system = 3
        info.external_attr = (st.st_mode & 0xFFFF) << 16
        return info

    def directory(self, arc, st):
        info = self._info(arc + "/", st)
        info.external_attr |= _DOS_DIRECTORY
        self.archive.writestr(info, b"")

    def file(self, arc, st, f):
        info = self._info(arc, st)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.file_size = st.st_size
        with self.archive.open(info, "w") as out:
            shutil.copyfileobj(f, out, 1024 * 1024)

    def symlink(self, arc, st, target):
        self.archive.writestr(self._info(arc, st), os.fsencode(target))

    def close(self):
        self.archive.close()


class _TarOut(object):
    def __init__(self, f, mode):
        self.archive = tarfile.open(fileobj=f, mode=mode)

    @staticmethod
    def _info(arc, st, kind):
        info = tarfile.TarInfo(arc)
        info.type = kind
        info.mode = stat.S_IMODE(st.st_mode)
        info.uid, info.gid, info.mtime = st.st_uid, st.st_gid, st.st_mtime
        try:
            info.uname = pwd.getpwuid(st.st_uid).pw_name
            info.gname = grp.getgrgid(st.st_gid).gr_name
        except KeyError:
            pass
        return info

    def directory(self, arc, st):
        self.archive.addfile(self._info(arc, st, tarfile.DIRTYPE))

    def file(self, arc, st, f):
        info = self._info(arc, st, tarfile.REGTYPE)
        info.size = st.st_size
        self.archive.addfile(info, f)

    def symlink(self, arc, st, target):
        info = self._info(arc, st, tarfile.SYMTYPE)
        info.linkname = target
        self.archive.addfile(info)

    def close(self):
        self.archive.close()


def _pack(out, fd, arc, skip, log):
    """Add what O_PATH descriptor `fd` names as member `arc` ("": a
    directory's content only), a directory with all below it; a link is
    stored as the link, FIFOs, sockets and devices are left out, and so
    are the files (st_dev, st_ino) in `skip`. The number of members added."""
    st = os.fstat(fd)
    if (st.st_dev, st.st_ino) in skip:
        return 0
    if stat.S_ISLNK(st.st_mode):
        out.symlink(arc, st, os.readlink("", dir_fd=fd))
    elif stat.S_ISREG(st.st_mode):
        with os.fdopen(_reopen(fd), "rb") as f:
            out.file(arc, st, f)
    elif not stat.S_ISDIR(st.st_mode):
        _log(log, "skip %s: not a file, directory or link" % arc)
        return 0
    else:
        return _pack_directory(out, fd, arc, st, skip, log)
    _log(log, "add %s" % arc)
    return 1


def _pack_directory(out, fd, arc, st, skip, log):
    count = 0
    if arc:
        out.directory(arc, st)
        _log(log, "add %s" % arc)
        count = 1
    listing = os.open(".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC,
                      dir_fd=fd)
    try:
        names = sorted(os.listdir(listing))
    finally:
        os.close(listing)
    for name in names:
        try:
            child = os.open(name, _PATH | os.O_NOFOLLOW, dir_fd=fd)
        except FileNotFoundError:   # gone meanwhile
            continue
        try:
            count += _pack(out, child, posixpath.join(arc, name) if arc
                           else name, skip, log)
        finally:
            os.close(child)
    return count


def _write_archive(src_fd, arc, dfile, kind, log):
    """Pack into a file of its own, created exclusively beside `dfile`, and
    rename it to `dfile`: whatever stood there, a link too, is replaced,
    never written through. The number of members."""
    ddir, name = os.path.split(dfile)
    if name in ("", ".", ".."):
        raise IsADirectoryError(errno.EISDIR, "目标是目录", dfile)
    dir_fd = _open_path(ddir or ".", create=True)
    try:
        # The archive being replaced is not packed either.
        skip = set()
        try:
            old = os.lstat(name, dir_fd=dir_fd)
            if stat.S_ISDIR(old.st_mode):
                raise IsADirectoryError(errno.EISDIR, "目标是目录", dfile)
            skip.add((old.st_dev, old.st_ino))
        except FileNotFoundError:
            pass
        temp = ".%s.part" % binascii.hexlify(os.urandom(8)).decode()
        fd = os.open(temp, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW |
                     os.O_CLOEXEC, 0o600, dir_fd=dir_fd)
        try:
            with os.fdopen(fd, "w+b") as f:
                own = os.fstat(fd)
                skip.add((own.st_dev, own.st_ino))
                out = _ZipOut(f) if kind == "zip" else _TarOut(
                    f, "w:gz" if kind == "tar.gz" else "w")
                try:
                    count = _pack(out, src_fd, arc, skip, log)
                finally:
                    out.close()
                os.fchmod(fd, 0o644)
            os.rename(temp, name, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
        except BaseException:
            try:
                os.unlink(temp, dir_fd=dir_fd)
            except OSError:
                pass
            raise
        return count
    finally:
        os.close(dir_fd)


def _zip_kind(info):
    if info.is_dir():
        return "dir"
    if info.create_system == 3 and stat.S_ISLNK(info.external_attr >> 16):
        return "symlink"
    return "file"


def _zip_link(zf, info):
    """The target of a link member, else ""."""
    return os.fsdecode(zf.read(info)) if _zip_kind(info) == "symlink" else ""


def _tar_kind(member):
    if member.isdir():
        return "dir"
    if member.issym():
        return "symlink"
    return "hardlink" if member.islnk() else "file"


def _archive_kind(f, name):
    """"zip" or "tar" by content, else by the name's ending; None when
    neither tells."""
    try:
        if zipfile.is_zipfile(f):
            return "zip"
        f.seek(0)
        try:
            tarfile.open(fileobj=f, mode="r:*").close()
            return "tar"
        except tarfile.TarError:
            pass
    finally:
        f.seek(0)
    low = name.lower()
    if low.endswith(".zip"):
        return "zip"
    if low.endswith((".tar.gz", ".tgz", ".tar", ".tar.bz2", ".tar.xz")):
        return "tar"
    return None


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
        Member names are relative to `dir` (empty: the working directory).
        Links below sfile are stored as links; FIFOs, sockets and devices
        are left out."""
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
        try:
            src_fd = _open_path(src)
            try:
                mode = os.fstat(src_fd).st_mode
                if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
                    return public.returnMsg(
                        False, "不是文件或目录: %s" % sfile)
                _log(log, "packing %s -> %s (%s)" % (src, dfile, kind))
                count = _write_archive(src_fd, "" if arc == "." else arc,
                                       dfile, kind, log)
            finally:
                os.close(src_fd)
            _log(log, "done: %d entries" % count)
            return public.returnMsg(True, "压缩成功!")
        except Exception as e:
            _log(log, "failed: %s" % e)
            return public.returnMsg(False, "压缩失败: %s" % e)

    def _unzip(self, sfile, dfile, password, log):
        """Unpack sfile (zip, tar, tar.gz...) into the directory dfile,
        refusing members that would land outside dfile or below a link."""
        if not sfile or not dfile:
            return public.returnMsg(False, "参数错误: 缺少压缩包或目标目录")
        sfile, dfile = str(sfile), str(dfile)
        try:
            path_fd = _open_path(sfile)
            try:
                fd = _reopen(path_fd)
            finally:
                os.close(path_fd)
        except OSError:
            fd = None
        if fd is None:
            return public.returnMsg(False, "指定压缩包不存在: %s" % sfile)
        with os.fdopen(fd, "rb") as archive:
            try:
                return self._unpack(archive, sfile, dfile, password, log)
            except Exception as e:
                _log(log, "failed: %s" % e)
                return public.returnMsg(False, "解压失败: %s" % e)

    def _unpack(self, archive, sfile, dfile, password, log):
        kind = _archive_kind(archive, sfile)
        if kind is None:
            return public.returnMsg(False, "不支持的压缩格式: %s" % sfile)
        dest_fd = _open_path(dfile, create=True)
        try:
            if not stat.S_ISDIR(os.fstat(dest_fd).st_mode):
                return public.returnMsg(False, "目标不是目录: %s" % dfile)
            _log(log, "unpacking %s -> %s (%s)" % (sfile, dfile, kind))
            dest = _Destination(dest_fd)
            if kind == "zip":
                err = self._unzip_zip(archive, dest, password, log)
            else:
                err = self._unzip_tar(archive, dest, log)
        finally:
            os.close(dest_fd)
        if err:
            _log(log, "failed: %s" % err)
            return public.returnMsg(False, err)
        _log(log, "done")
        return public.returnMsg(True, "解压成功!")

    def _unzip_zip(self, archive, dest, password, log):
        try:
            zf = zipfile.ZipFile(archive)
        except (zipfile.BadZipFile, OSError) as e:
            return "解压失败: 不是有效的zip文件 (%s)" % e
        with zf:
            infos = zf.infolist()
            err = _refusal([(i.filename, _zip_kind(i), _zip_link(zf, i))
                            for i in infos])
            if err:
                return err
            if password:
                if isinstance(password, str):
                    password = password.encode("utf-8")
                zf.setpassword(password)
            for info in infos:
                parts, kind = _member_parts(info.filename), _zip_kind(info)
                mode = (info.external_attr >> 16) & 0o777
                try:
                    if kind == "dir":
                        dest.directory(parts)
                    elif kind == "symlink":
                        dest.symlink(parts, _zip_link(zf, info))
                    else:
                        with zf.open(info) as data:
                            dest.file(parts, data, mode if
                                      info.create_system == 3 and mode else None)
                except RuntimeError as e:   # encrypted / bad password
                    return "解压失败: 密码错误或需要密码 (%s)" % e
                except zipfile.BadZipFile as e:
                    return "解压失败: 数据损坏或密码错误 (%s)" % e
                except NotImplementedError as e:
                    return "解压失败: 不支持的压缩方式或加密方式 (%s)" % e
                _log(log, "extract %s" % info.filename)
        return None

    def _unzip_tar(self, archive, dest, log):
        try:
            tf = tarfile.open(fileobj=archive, mode="r:*")
        except (tarfile.TarError, OSError) as e:
            return "解压失败: 不是有效的tar文件 (%s)" % e
        with tf:
            members = tf.getmembers()
            for m in members:
                if not (m.isreg() or m.isdir() or m.issym() or m.islnk()):
                    return "解压失败: 不支持的成员类型: %s" % m.name
            err = _refusal([(m.name, _tar_kind(m), m.linkname)
                            for m in members])
            if err:
                return err
            for m in members:
                parts = _member_parts(m.name)
                if m.isdir():
                    dest.directory(parts, m.mode)
                elif m.issym():
                    dest.symlink(parts, m.linkname)
                elif m.islnk():
                    dest.hardlink(parts, _member_parts(m.linkname))
                else:
                    dest.file(parts, tf.extractfile(m), m.mode, m.mtime)
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
