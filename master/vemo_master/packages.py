"""Packages of the agent's private environment brought to a wanted state.
A requirement may carry version specifiers ("six==1.16.0", "six>=1,<2");
an installed version that satisfies them is left alone."""
import re

from . import extension
from .change import Change

_REQUIREMENT = re.compile(r"\s*([A-Za-z0-9][A-Za-z0-9._-]*)\s*(.*?)\s*")
_CLAUSE = re.compile(r"(==|!=|>=|<=|~=|>|<)\s*([0-9][0-9a-zA-Z.*+!-]*)")


def _normal(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def _release(version):
    """The leading numeric release of a version (1.16.0rc1: (1, 16, 0))."""
    return tuple(int(part) for part in re.findall(
        r"\d+", re.match(r"[\d.]*", version).group()))


def _padded(a, b):
    width = max(len(a), len(b))
    return a + (0,) * (width - len(a)), b + (0,) * (width - len(b))


def _holds(version, op, wanted):
    if wanted.endswith(".*"):
        prefix = _release(wanted[:-2])
        same = _release(version)[:len(prefix)] == prefix
        return same if op == "==" else not same
    have, want = _padded(_release(version), _release(wanted))
    if op == "~=":
        return have >= want and have[:len(_release(wanted)) - 1] == \
            want[:len(_release(wanted)) - 1]
    return {"==": have == want, "!=": have != want, ">=": have >= want,
            "<=": have <= want, ">": have > want, "<": have < want}[op]


def parse(requirement):
    """(project name, [(operator, version)]) of a requirement."""
    match = _REQUIREMENT.fullmatch(requirement.split(";")[0])
    if match is None:
        raise ValueError("not a requirement: %r" % requirement)
    clauses = [c.strip() for c in match.group(2).split(",") if c.strip()]
    parsed = [_CLAUSE.fullmatch(c) for c in clauses]
    if not all(parsed):
        raise ValueError("not a version specifier: %r" % match.group(2))
    return match.group(1), [(m.group(1), m.group(2)) for m in parsed]


def satisfies(version, clauses):
    return version is not None and all(_holds(version, op, v)
                                       for op, v in clauses)


def installed(session, name):
    """The installed version of project `name`, or None."""
    for listed, version in extension.mod_list(session):
        if _normal(listed) == _normal(name):
            return version
    return None


def pip_install(session, requirement, args=None, check=False):
    """`requirement` installed; nothing is run when the installed version
    already satisfies it. before/after: {"version"} or None."""
    name, clauses = parse(requirement)
    version = installed(session, name)
    before = None if version is None else {"version": version}
    if satisfies(version, clauses):
        return Change(False, before, before)
    if check:
        return Change(True, before, {"version": requirement})
    extension.install_mod(session, requirement, args)
    version = installed(session, name)
    return Change(True, before, None if version is None
                  else {"version": version})


def pip_remove(session, name, args=None, check=False):
    """Project `name` not installed."""
    version = installed(session, name)
    if version is None:
        return Change(False, None, None)
    if not check:
        extension.uninstall_mod(session, name, args)
    return Change(True, {"version": version}, None)
