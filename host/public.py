"""Stand-in for the panel's helper module `public`.

Small but real: files, modes and owners, digests, random text, the
client address of the current web request (through ZQ_VEMO) and a tiny
query object `M` over the SQLite database `data/default.db`, relative to
the working directory (the install directory client-side/).

Choices this stand-in makes:
- result messages carry their text under the key "msg";
- a request object (`dict_obj`) yields None for a missing key through
  `.get(key)` and attribute access; item reading (`obj[key]`) of a missing
  key raises KeyError like a dict;
- digests are lower-case hexadecimal;
- `path_safe_check` accepts only letters, digits, "_", "-", "." and "/"
  and rejects any text containing "..".

Python 3.7 compatible.
"""
import hashlib
import importlib
import os
import pwd
import random
import re
import sqlite3
import string
import traceback

DB_FILE = "data/default.db"


def returnMsg(status, msg):
    """A result message: {"status": bool, "msg": message}."""
    return {"status": bool(status), "msg": msg}


def readFile(path, mode="r"):
    """The whole content of a file, or False when it is missing/unreadable."""
    try:
        if "b" in mode:
            with open(path, mode) as f:
                return f.read()
        with open(path, mode, encoding="utf-8", errors="replace") as f:
            return f.read()
    except Exception:
        return False


def writeFile(path, data, mode="w+"):
    """Replace the file with data (text or bytes); True on success."""
    try:
        if isinstance(data, (bytes, bytearray)) and "b" not in mode:
            mode = mode.replace("+", "") + "b+"
        if "b" in mode:
            if isinstance(data, str):
                data = data.encode("utf-8")
            with open(path, mode) as f:
                f.write(data)
        else:
            with open(path, mode, encoding="utf-8") as f:
                f.write(data)
        return True
    except Exception:
        return False


def get_error_info():
    """Text of the exception being handled (a traceback)."""
    return traceback.format_exc()


class dict_obj(object):
    """Request object: item assignment/reading, `in`, attribute access.

    obj["k"] raises KeyError for a missing key; obj.get("k") and obj.k
    give None for a missing key.
    """

    def __init__(self, *args, **kwargs):
        object.__setattr__(self, "_data", dict(*args, **kwargs))

    def __setitem__(self, key, value):
        self._data[key] = value

    def __getitem__(self, key):
        return self._data[key]

    def __delitem__(self, key):
        del self._data[key]

    def __contains__(self, key):
        return key in self._data

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)

    def __getattr__(self, name):
        if name == "_data" or (name.startswith("__") and name.endswith("__")):
            raise AttributeError(name)
        return self._data.get(name)

    def __setattr__(self, name, value):
        self._data[name] = value

    def __delattr__(self, name):
        self._data.pop(name, None)

    def get(self, key, default=None):
        return self._data.get(key, default)

    def keys(self):
        return self._data.keys()

    def items(self):
        return self._data.items()

    def values(self):
        return self._data.values()

    def to_dict(self):
        return dict(self._data)

    def __repr__(self):
        return "dict_obj(%r)" % (self._data,)


def set_mode(path, mode):
    """Set the permission bits; mode is octal digit text such as "755"."""
    try:
        os.chmod(path, int(str(mode), 8))
        return True
    except Exception:
        return False


def set_own(path, user):
    """Set owner and group to those of account `user` (not recursive)."""
    try:
        pw = pwd.getpwnam(str(user))
        os.chown(path, pw.pw_uid, pw.pw_gid)
        return True
    except Exception:
        return False


def get_mode_and_user(path):
    """{"mode": "644", "user": "root"}; the uid as text without an account."""
    st = os.stat(path)
    mode = oct(st.st_mode)[-3:]
    try:
        user = pwd.getpwuid(st.st_uid).pw_name
    except KeyError:
        user = str(st.st_uid)
    return {"mode": mode, "user": user}


def bytes_md5(b):
    if isinstance(b, str):
        b = b.encode("utf-8")
    return hashlib.md5(b).hexdigest()


def file_sha1(path):
    h = hashlib.sha1()
    with open(path, "rb") as f:
        while True:
            chunk = f.read(1024 * 1024)
            if not chunk:
                break
            h.update(chunk)
    return h.hexdigest()


_SAFE_PATH = re.compile(r"^[A-Za-z0-9_\-./]+$")


def path_safe_check(text):
    """True only for letters, digits, "_-./" and no ".."."""
    if not isinstance(text, str) or not text:
        return False
    if ".." in text:
        return False
    return _SAFE_PATH.match(text) is not None


def mod_reload(module):
    return importlib.reload(module)


_rand = random.SystemRandom()


def GetRandomString(length=32):
    chars = string.ascii_letters + string.digits
    return "".join(_rand.choice(chars) for _ in range(int(length)))


def GetClientIp():
    """Client address of the current web request (ZQ_VEMO.request)."""
    import ZQ_VEMO
    req = ZQ_VEMO.request
    headers = getattr(req, "headers", None) or {}
    fwd = None
    for k, v in dict(headers).items():
        if str(k).lower() == "x-forwarded-for":
            fwd = v
    if fwd:
        return str(fwd).split(",")[0].strip()
    return str(getattr(req, "remote_addr", "") or "")


def _quote(name):
    name = str(name)
    if "`" in name or "\x00" in name:
        raise ValueError("invalid identifier: %r" % (name,))
    return "`" + name + "`"


class M(object):
    """Query object over the SQLite database data/default.db.

    Every call opens and closes its own connection, so the object may be
    used from worker threads. Values always go through parameter binding;
    table and column names are quoted with backquotes.
    """

    def __init__(self, table=None, db_file=None):
        self._table = table
        self._db_file = db_file or DB_FILE
        self._where = ""
        self._params = ()

    # connection -------------------------------------------------------
    def _connect(self):
        d = os.path.dirname(self._db_file)
        if d and not os.path.isdir(d):
            os.makedirs(d, exist_ok=True)
        conn = sqlite3.connect(self._db_file, timeout=30)
        conn.row_factory = sqlite3.Row
        return conn

    def _run(self, sql, params=(), fetch=None):
        conn = self._connect()
        try:
            cur = conn.execute(sql, tuple(params or ()))
            if fetch == "one":
                row = cur.fetchone()
                result = dict(row) if row is not None else None
            elif fetch == "all":
                result = [dict(r) for r in cur.fetchall()]
            elif fetch == "id":
                result = cur.lastrowid
            else:
                result = cur.rowcount
            conn.commit()
            return result
        finally:
            conn.close()

    def _need_table(self):
        if not self._table:
            raise ValueError("no table bound to this query object")
        return _quote(self._table)

    def _where_sql(self):
        return (" WHERE " + self._where) if self._where else ""

    # chainable --------------------------------------------------------
    def table(self, name):
        self._table = name
        return self

    def where(self, cond, params=()):
        self._where = cond or ""
        if params is None:
            params = ()
        elif not isinstance(params, (tuple, list)):
            params = (params,)
        self._params = tuple(params)
        return self

    # queries ----------------------------------------------------------
    def count(self):
        t = self._need_table()
        row = self._run("SELECT COUNT(*) AS n FROM " + t + self._where_sql(),
                        self._params, "one")
        return int(row["n"]) if row else 0

    def find(self):
        t = self._need_table()
        row = self._run("SELECT * FROM " + t + self._where_sql() + " LIMIT 1",
                        self._params, "one")
        return row if row is not None else False

    def select(self):
        t = self._need_table()
        return self._run("SELECT * FROM " + t + self._where_sql(),
                         self._params, "all")

    def insert(self, mapping):
        t = self._need_table()
        keys = list(mapping.keys())
        if keys:
            sql = "INSERT INTO %s (%s) VALUES (%s)" % (
                t, ", ".join(_quote(k) for k in keys),
                ", ".join("?" for _ in keys))
        else:
            sql = "INSERT INTO %s DEFAULT VALUES" % t
        return self._run(sql, [mapping[k] for k in keys], "id")

    def update(self, mapping):
        t = self._need_table()
        keys = list(mapping.keys())
        if not keys:
            return 0
        sql = "UPDATE %s SET %s%s" % (
            t, ", ".join(_quote(k) + "=?" for k in keys), self._where_sql())
        return self._run(sql, [mapping[k] for k in keys] + list(self._params))

    def delete(self):
        t = self._need_table()
        return self._run("DELETE FROM " + t + self._where_sql(), self._params)

    def execute(self, sql, params=()):
        """Run a statement; rows (list of dicts) for a query, else rowcount."""
        conn = self._connect()
        try:
            cur = conn.execute(sql, tuple(params or ()))
            if cur.description is not None:
                result = [dict(r) for r in cur.fetchall()]
            else:
                result = cur.rowcount
            conn.commit()
            return result
        finally:
            conn.close()
