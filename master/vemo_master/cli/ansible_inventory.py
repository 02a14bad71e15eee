"""An operator's Ansible inventory as vemoctl's --hosts, read by
ansible-core's own code: its inventory plugins (INI, YAML, directories),
host_vars/ and group_vars/, variable templating and --limit patterns
("web:&prod:!db", "web[0:2]", "~regex").

A host is reached at ansible_host (else its inventory name) on vemo_port
(else --port; ansible_port is the SSH port and is left alone), with the
key vemo_key (else the global key) and the certificate vemo_fingerprint
when set: the variables the vemo.agent collection reads."""
import argparse
import glob
import os

from .argtypes import sha256_hex
from .output import UsageError
from .runner import Target

# Where a variable may have been written, relative to the inventory's
# directory, for naming the file and line of a bad value.
_VARIABLE_FILES = ("host_vars/*", "group_vars/*", "group_vars/*/*")


def available():
    try:
        import ansible.inventory.manager  # noqa: F401
    except ImportError:
        return False
    return True


def _where(path, text):
    """"file:line" of the first line holding `text` in the inventory or
    the variable files beside it, or None."""
    base = path if os.path.isdir(path) else os.path.dirname(
        os.path.abspath(path))
    candidates = [path] if os.path.isfile(path) else sorted(
        glob.glob(os.path.join(path, "*")))
    for pattern in _VARIABLE_FILES:
        candidates += sorted(glob.glob(os.path.join(base, pattern)))
    for candidate in candidates:
        try:
            with open(candidate, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    if text in line:
                        return "%s:%d" % (candidate, number)
        except OSError:
            continue
    return None


def fingerprint(text, path, where):
    """`text` as a fingerprint; a usage error naming the file and line
    that holds it (else `where`) when it is not one."""
    try:
        return sha256_hex(text)
    except argparse.ArgumentTypeError as exc:
        raise UsageError("%s: fingerprint %s: %s" % (
            _where(path, text) or where, text, exc))


class AnsibleInventory(object):
    def __init__(self, path, default_port, default_key):
        from ansible import constants
        from ansible.errors import AnsibleError
        from ansible.inventory.manager import InventoryManager
        from ansible.parsing.dataloader import DataLoader
        from ansible.template import Templar
        from ansible.vars.manager import VariableManager
        # A file no plugin takes is an error here, not a warning and an
        # empty inventory.
        constants.INVENTORY_UNPARSED_IS_FAILED = True
        self.path = path
        self.error = AnsibleError
        loader = DataLoader()
        try:
            self.manager = InventoryManager(loader=loader, sources=[path])
        except AnsibleError as exc:
            raise UsageError("%s: %s" % (path, " ".join(str(exc).split())))
        self.variables = VariableManager(loader=loader,
                                         inventory=self.manager)
        self.templar = lambda values: Templar(loader=loader,
                                              variables=values)
        self.default_port = default_port
        self.default_key = default_key
        self.by_name = {}
        for host in self.manager.get_hosts("all"):
            self.by_name[host.name] = self._target(host)
        self.targets = list(dict.fromkeys(self.by_name.values()))

    def _target(self, host):
        values = self.variables.get_vars(host=host, include_hostvars=False)
        templar = self.templar(values)

        def value(name, default=None):
            if name not in values:
                return default
            try:
                return templar.template(values[name])
            except self.error as exc:
                raise UsageError("%s: host %s: %s: %s" % (
                    self.path, host.name, name, " ".join(str(exc).split())))

        where = "%s: host %s" % (self.path, host.name)
        try:
            port = int(value("vemo_port", self.default_port))
            if not 0 < port < 65536:
                raise ValueError("port must be 1-65535")
        except (TypeError, ValueError) as exc:
            raise UsageError("%s: vemo_port: %s" % (where, exc))
        pin = value("vemo_fingerprint")
        if pin is not None:
            pin = fingerprint(str(pin), self.path, where)
        key = value("vemo_key")
        key = (os.path.abspath(os.path.expanduser(str(key)))
               if key else self.default_key)
        return Target(str(value("ansible_host", host.name)), port, key, pin)

    def select(self, limits):
        """Targets of the --limit patterns, as ansible-playbook --limit
        reads them; all when none."""
        patterns = [p for limit in limits or () for p in limit.split(",")
                    if p] or ["all"]
        try:
            hosts = self.manager.get_hosts(pattern=patterns)
        except self.error as exc:
            raise UsageError("--limit: %s" % " ".join(str(exc).split()))
        if not hosts:
            raise UsageError("--limit %s matches no host of %s"
                             % (",".join(patterns), self.path))
        chosen = dict.fromkeys(self.by_name[h.name] for h in hosts)
        return list(chosen)


def read(path, default_port, default_key):
    return AnsibleInventory(path, default_port, default_key)
