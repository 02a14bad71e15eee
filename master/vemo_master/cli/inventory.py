"""Inventories of agents for --hosts. vemoctl's own form: a plain or INI
hosts file of "host[:port] [keyfile]" lines, optionally under [group]
headers, or the same in YAML. Each agent may carry its own port, key and
certificate fingerprint; relative key files are taken from the
inventory's directory.

Anything else (ansible_host and vemo_* variables, [group:vars],
host_vars/ and group_vars/ beside the file, an inventory directory) is an
Ansible inventory, read by ansible-core's own code (ansible_inventory.py)
when it is installed."""
import fnmatch
import os
import re

from . import ansible_inventory
from .argtypes import split_host_port
from .output import UsageError, failed
from .runner import Target

_GROUP = re.compile(r"\[([A-Za-z0-9_.-]+)(:children)?\]")
_SETTINGS = ("port", "key", "fingerprint")
# --limit: "," separates patterns, so does ":" unless it is inside [v6]
# brackets or opens a port ("10.0.0.1:8899", "*:8900").
_PATTERN_SEPARATOR = re.compile(r",|:(?![^\[]*\])(?![0-9*?]+(?:,|$))")


class ForeignForm(UsageError):
    """Text that is not vemoctl's own inventory form."""


class Inventory(object):
    def __init__(self, path, default_port, default_key):
        self.path = path
        self.base = os.path.dirname(os.path.abspath(path))
        self.default_port = default_port
        self.default_key = default_key
        self.targets = []       # in order of first mention
        self.groups = {}        # group -> set of (host, port)
        self.children = {}      # group -> child group names

    def add(self, where, name, settings, groups):
        try:
            host, port = split_host_port(str(name), self.default_port)
            if settings.get("port") is not None:
                port = int(settings["port"])
        except (ValueError, TypeError) as exc:
            raise UsageError("%s: %s" % (where, exc))
        fingerprint = settings.get("fingerprint")
        if fingerprint is not None:
            fingerprint = ansible_inventory.fingerprint(
                str(fingerprint), self.path, where)
        unknown = set(settings) - set(_SETTINGS)
        if unknown:
            raise ForeignForm("%s: unknown setting %s (known: %s)" % (
                where, ", ".join(sorted(unknown)), ", ".join(_SETTINGS)))
        key = settings.get("key")
        key = (os.path.join(self.base, os.path.expanduser(str(key)))
               if key is not None else self.default_key)
        target = Target(host, port, key, fingerprint)
        for known in self.targets:
            if (known.host, known.port) == (host, port):
                if known != target:
                    raise UsageError("%s: %s:%d is listed twice with "
                                     "different settings" % (where, host,
                                                             port))
                break
        else:
            self.targets.append(target)
        for group in groups:
            self.groups.setdefault(group, set()).add((host, port))

    def members(self, group, seen=()):
        found = set(self.groups.get(group, ()))
        for child in self.children.get(group, ()):
            if child not in seen:
                found |= self.members(child, seen + (group,))
        return found

    def _matches(self, pattern):
        """(host, port) of the hosts a pattern names; none is a usage
        error."""
        groups = set(self.groups) | set(self.children)
        chosen = set()
        if pattern == "all":
            chosen |= {(t.host, t.port) for t in self.targets}
        for group in groups:
            if fnmatch.fnmatchcase(group, pattern):
                chosen |= self.members(group)
        for t in self.targets:
            if (fnmatch.fnmatchcase(t.host, pattern) or fnmatch.fnmatchcase(
                    "%s:%d" % (t.host, t.port), pattern)):
                chosen.add((t.host, t.port))
        if not chosen and not any(fnmatch.fnmatchcase(g, pattern)
                                  for g in groups):
            raise UsageError("--limit %s matches no group or host of %s"
                             % (pattern, self.path))
        return chosen

    def select(self, limits):
        """Targets of the --limit patterns (all when none), as ansible
        reads them: a group, a host, host:port or an fnmatch pattern of
        those; "&" keeps only hosts also in it, "!" drops its hosts."""
        patterns = [p for limit in limits or () for p in
                    _PATTERN_SEPARATOR.split(limit) if p]
        plain = [p for p in patterns if p[0] not in "!&"] or ["all"]
        chosen = set()
        for pattern in plain:
            chosen |= self._matches(pattern)
        for pattern in patterns:
            if pattern[0] == "&":
                chosen &= self._matches(pattern[1:])
        for pattern in patterns:
            if pattern[0] == "!":
                chosen -= self._matches(pattern[1:])
        return [t for t in self.targets if (t.host, t.port) in chosen]


def _read_plain(inventory, text):
    group, children = None, False
    for number, line in enumerate(text.splitlines(), 1):
        where = "%s:%d" % (inventory.path, number)
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        header = _GROUP.fullmatch(" ".join(words))
        if header:
            group, children = header.group(1), bool(header.group(2))
            inventory.groups.setdefault(group, set())
            continue
        if words[0].startswith("["):
            raise ForeignForm("%s: expected [group] or [group:children]"
                              % where)
        if children:
            inventory.children.setdefault(group, []).extend(words)
            continue
        settings, plain = {}, []
        for word in words[1:]:
            name, sep, value = word.partition("=")
            if sep:
                settings[name] = value
            else:
                plain.append(word)
        if len(plain) > 1 or (plain and "key" in settings):
            raise UsageError("%s: expected host[:port] [keyfile] "
                             "[port=N] [key=FILE] [fingerprint=HEX]" % where)
        if plain:
            settings["key"] = plain[0]
        inventory.add(where, words[0], settings,
                      [group] if group else [])


def _read_yaml(inventory, text):
    try:
        import yaml
    except ImportError:
        raise failed("reading %s needs PyYAML (pip install pyyaml)"
                     % inventory.path)
    try:
        document = yaml.safe_load(text) or {}
    except yaml.YAMLError as exc:
        raise UsageError("%s: not YAML: %s" % (inventory.path,
                                               " ".join(str(exc).split())))
    if not isinstance(document, dict):
        raise UsageError("%s: expected groups at the top" % inventory.path)

    def walk(name, body, inherited):
        body = body or {}
        if not isinstance(body, dict):
            raise UsageError("%s: group %s: expected hosts, children, vars"
                             % (inventory.path, name))
        settings = dict(inherited, **(body.get("vars") or {}))
        inventory.groups.setdefault(name, set())
        for host, own in (body.get("hosts") or {}).items():
            inventory.add("%s: %s" % (inventory.path, host), host,
                          dict(settings, **(own or {})), [name])
        for child, child_body in (body.get("children") or {}).items():
            inventory.children.setdefault(name, []).append(child)
            walk(child, child_body, settings)

    for name, body in document.items():
        walk(name, body, {})


def _own(path, default_port, default_key):
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as exc:
        raise failed("cannot read inventory %s: %s"
                     % (path, exc.strerror or exc))
    inventory = Inventory(path, default_port, default_key)
    if path.endswith((".yml", ".yaml")):
        _read_yaml(inventory, text)
    else:
        _read_plain(inventory, text)
    return inventory


def _ansible(path, default_port, default_key, why):
    if not ansible_inventory.available():
        raise UsageError("%s: %s; reading it as an Ansible inventory needs "
                         "ansible-core (pip install ansible-core)"
                         % (path, why))
    return ansible_inventory.read(path, default_port, default_key)


def read_inventory(path, default_port, default_key):
    """The inventory at `path`: vemoctl's own form, or an Ansible one."""
    path = os.path.expanduser(path)
    beside = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        inventory = _ansible(path, default_port, default_key,
                             "an inventory directory")
    elif any(os.path.isdir(os.path.join(beside, d))
             for d in ("host_vars", "group_vars")):
        inventory = _ansible(path, default_port, default_key,
                             "host_vars/ or group_vars/ beside it")
    else:
        try:
            inventory = _own(path, default_port, default_key)
        except ForeignForm as exc:
            inventory = _ansible(path, default_port, default_key, str(exc))
    if not inventory.targets:
        raise UsageError("%s names no hosts" % path)
    return inventory
