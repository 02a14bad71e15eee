"""Command-line grammar of vemoctl."""
import argparse
import json
import re

from .output import EXIT_FAILED, EXIT_OK, EXIT_REFUSED, EXIT_USAGE

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8899
DEFAULT_KEY = "./id_rsa.pub"
DEFAULT_TIMEOUT = 30.0
DEFAULT_PARALLEL = 8

EPILOG = """\
exit codes:
  %d  success (with --hosts: every host succeeded)
  %d  failed: agent unreachable, timeout, connection lost, missing local
     file, transfer or SHA-1 mismatch (with --hosts: any host failed)
  %d  usage error
  %d  refused: the agent refused the key or answered the operation with a
     failure or refusal, or its certificate is not the pinned one (with
     --hosts: any host refused, none failed)

key: the agent's public key, data/id_rsa.pub under its install directory.

--json prints one JSON document on stdout: for one host an object
  {"command", "host", "port", "ok", "status", "seconds", "bytes",
   "result"}  with "error" (a one-line message) in place of "result" when
  status is "failed" or "refused"; with --hosts a list of such objects.

hosts file (--hosts FILE): one agent per line, "host[:port] [keyfile]";
  "#" starts a comment, blank lines are skipped, IPv6 hosts go in brackets
  ([::1]:8899). Port and key default to --port and --key; a relative
  keyfile is taken from the hosts file's directory. The command runs on up
  to --parallel agents at once and a summary table follows. "get" writes
  each host's copy to LOCAL/<host>_<port>/<name>.

certificates: the agent's certificate is self-signed, so vemoctl pins it
  on first use. The SHA-256 fingerprint an agent presents at first contact
  is recorded for its host:port in $XDG_CONFIG_HOME/vemo/known_hosts
  (default ~/.config/vemo/known_hosts); a different certificate later is
  refused (exit %d), naming both fingerprints. If the agent's certificate
  was replaced on purpose, accept the new one with
    vemoctl --host HOST --port PORT trust FINGERPRINT
  or delete the agent's line. The fingerprint of an agent's certificate:
    openssl x509 -in INSTALL_DIR/cert/certificate.pem -noout -fingerprint -sha256
  --fingerprint pins one explicitly and leaves the file alone; --insecure
  accepts any certificate, which lets a man in the middle read and replay
  the session.

"vemoctl COMMAND --help" shows what "result" holds for COMMAND.

KEY=VALUE arguments (plugin-call, task, relay) are request keys; a VALUE
  that parses as JSON is sent as that value, any other as a string.
""" % (EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_REFUSED, EXIT_REFUSED)


# What "result" holds in a --json document, per command.
RESULTS = {
    "ping": '{"connect_ms", "rtt_ms": [...], "avg_ms"}',
    "ls": ('{"path", "dirs": [record], "files": [record]}; a record is '
           '{"name", "mode", "mtime", "user", "size", "link"}'),
    "stat": 'the entry\'s record plus "path" and "type" ("dir" or "file")',
    "put": ('{"local", "remote", "size", "offset", "sent", "skipped", '
            '"verified"}; "offset" is where a resumed upload started, '
            '"skipped" means the file was already in place'),
    "get": ('{"remote", "local", "size", "offset", "received", "mode", '
            '"user", "verified"}; "offset" is where a resumed download '
            'started'),
    "sha1": ('{"remote", "sha1", "match": true}; a mismatch or a missing '
             'file exits 1'),
    "mkdir": '{"path", "mode", "user"}',
    "chmod": '{"path", "mode"}',
    "chown": '{"path", "user"}',
    "plugins": ('{"plugins": [info]}, or with NAME {"name", "installed", '
                '"versions"}'),
    "plugin-call": '{"answer": what the method returned}',
    "pip": ('list: {"packages": [[name, version], ...]}; install, '
            'uninstall: {"answer": result message}'),
    "reload": '{"answer": [[module, reloaded], ...] or a result message}',
    "workers": ('list: {"workers": [entry]}; start, stop: '
                '{"answer": result message}'),
    "task": '{"answer": what the operation returned}',
    "zip": '{"answer": result message}',
    "unzip": '{"answer": result message}',
    "relay": '{"answer": the other agent\'s answer}',
    "trust": ('{"fingerprint", "replaced": the one recorded before or null, '
              '"known_hosts": the file}'),
}


def key_value(text):
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError("expected KEY=VALUE, got %r" % text)
    try:
        return key, json.loads(value)
    except ValueError:
        return key, value


def json_object(text):
    try:
        value = json.loads(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError("not JSON: %s" % exc)
    if not isinstance(value, dict):
        raise argparse.ArgumentTypeError("expected a JSON object")
    return value


def octal_mode(text):
    if not (1 <= len(text) <= 4 and all(c in "01234567" for c in text)):
        raise argparse.ArgumentTypeError("mode must be octal digits, e.g. 755")
    return text


def positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def port_number(text):
    value = int(text)
    if not 0 < value < 65536:
        raise argparse.ArgumentTypeError("port must be 1-65535")
    return value


def sha256_hex(text):
    value = text.replace(":", "").strip().lower()
    if not re.fullmatch(r"[0-9a-f]{64}", value):
        raise argparse.ArgumentTypeError(
            "expected a SHA-256 fingerprint: 64 hex digits, colons allowed")
    return value


def positive_float(text):
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be above 0")
    return value


def _request_args(p):
    p.add_argument("pairs", nargs="*", metavar="KEY=VALUE", type=key_value,
                   help="request keys")
    p.add_argument("--args", dest="json_args", type=json_object,
                   metavar="JSON", help="request keys as one JSON object")


def _transfer_options(p):
    p.add_argument("--no-verify", dest="verify", action="store_false",
                   help="skip the SHA-1 comparison at the end")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="vemoctl", description="Drive vemo node agents.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default=DEFAULT_HOST,
                        help="agent address (default %(default)s)")
    parser.add_argument("--port", type=port_number, default=DEFAULT_PORT,
                        help="agent port (default %(default)s)")
    parser.add_argument("--key", default=DEFAULT_KEY,
                        help="agent's public key file (default %(default)s)")
    parser.add_argument("--timeout", type=positive_float,
                        default=DEFAULT_TIMEOUT, metavar="S",
                        help="bound on connecting and on every network "
                             "wait, in seconds (default %(default)s)")
    pinning = parser.add_mutually_exclusive_group()
    pinning.add_argument("--fingerprint", metavar="HEX", type=sha256_hex,
                         help="pin the SHA-256 of the agent's certificate "
                              "instead of the known-hosts file")
    pinning.add_argument("--insecure", action="store_true",
                         help="accept any certificate (no pinning)")
    parser.add_argument("--json", action="store_true",
                        help="print one JSON document on stdout")
    parser.add_argument("--hosts", metavar="FILE",
                        help="run the command on every agent of FILE")
    parser.add_argument("--parallel", type=positive_int,
                        default=DEFAULT_PARALLEL, metavar="N",
                        help="agents served at once with --hosts "
                             "(default %(default)s)")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    def command(name, help_text):
        return sub.add_parser(
            name, help=help_text, description=help_text,
            epilog="--json result: " + RESULTS[name])

    p = command("ping", "connect, exchange the key, time heartbeats")
    p.add_argument("-c", "--count", type=positive_int, default=1,
                   help="heartbeats to send (default 1)")

    p = command("ls", "list a remote directory")
    p.add_argument("path")

    p = command("stat", "show one remote entry")
    p.add_argument("path")

    p = command("put", "upload a file; resumes an interrupted upload")
    p.add_argument("local")
    p.add_argument("remote", help="remote file path, or directory ending in /")
    p.add_argument("--mode", type=octal_mode, help="mode of the placed file")
    p.add_argument("--user", help="owner of the placed file (with --mode)")
    _transfer_options(p)

    p = command("get", "download a file; resumes from LOCAL.part")
    p.add_argument("remote")
    p.add_argument("local", nargs="?", default=".",
                   help="local file, or directory (default .)")
    _transfer_options(p)

    p = command("sha1", "compare a remote file with a local file or digest")
    p.add_argument("remote")
    p.add_argument("expected", help="local file, or a 40-digit SHA-1")

    p = command("mkdir", "create a remote directory and its parents")
    p.add_argument("path")
    p.add_argument("--mode", type=octal_mode)
    p.add_argument("--user")

    p = command("chmod", "set the mode of a remote path")
    p.add_argument("mode", type=octal_mode)
    p.add_argument("path")

    p = command("chown", "set the owner of a remote path")
    p.add_argument("user")
    p.add_argument("path")

    p = command("plugins", "list plugins, or show whether NAME is installed")
    p.add_argument("name", nargs="?")

    p = command("plugin-call", "call a method of a plugin")
    p.add_argument("name")
    p.add_argument("fun")
    _request_args(p)

    p = command("pip", "packages of the agent's private environment")
    pip = p.add_subparsers(dest="action", metavar="ACTION")
    pip.required = True
    pip.add_parser("list", help="installed packages")
    for action in ("install", "uninstall"):
        q = pip.add_parser(action, help="%s a package" % action)
        q.add_argument("package")
        q.add_argument("--pip-args", metavar="TEXT",
                       help="further installer command-line text")

    p = command("reload", "reload one module of the agent, or all")
    p.add_argument("name", nargs="?")

    p = command("workers", "background workers of the agent")
    workers = p.add_subparsers(dest="action", metavar="ACTION")
    workers.required = True
    workers.add_parser("list", help="registered workers")
    q = workers.add_parser("start", help="start a worker module")
    q.add_argument("module")
    q.add_argument("--name", help="display name (default: the module)")
    q.add_argument("--args", dest="worker_args", type=json_object,
                   default={}, metavar="JSON", help="worker arguments")
    q.add_argument("--save", action="store_true",
                   help="record it so that it starts with the agent")
    q = workers.add_parser("stop", help="remove a worker from the registry")
    q.add_argument("module")

    p = command("task", "call an operation of the panel's task object")
    p.add_argument("fun")
    _request_args(p)

    p = command("zip", "pack a remote path into an archive")
    p.add_argument("source")
    p.add_argument("archive")
    p.add_argument("--type", dest="archive_type", default="zip",
                   help="archive type (default zip)")

    p = command("unzip", "unpack a remote archive")
    p.add_argument("archive")
    p.add_argument("dest")
    p.add_argument("--password", default="")

    p = command("relay", "have the agent call another agent")
    p.add_argument("target", metavar="HOST[:PORT]")
    p.add_argument("target_key", metavar="KEYFILE",
                   help="the other agent's public key file")
    p.add_argument("fun")
    _request_args(p)

    p = command("trust", "record the agent's new certificate fingerprint "
                         "in the known-hosts file")
    p.add_argument("new_fingerprint", metavar="FINGERPRINT", type=sha256_hex)
    return parser


def request_args(args):
    """The request keys of a command taking KEY=VALUE and --args."""
    merged = dict(args.json_args or {})
    merged.update(args.pairs)
    return merged


def split_host_port(text, default_port):
    """(host, port) of "host", "host:port", "[v6]" or "[v6]:port";
    ValueError when malformed."""
    text = text.strip()
    if text.startswith("["):
        host, sep, rest = text[1:].partition("]")
        if not sep or not host:
            raise ValueError("bad address %r" % text)
        if not rest:
            return host, default_port
        if not rest.startswith(":"):
            raise ValueError("bad address %r" % text)
        port_text = rest[1:]
    elif text.count(":") == 1:
        host, port_text = text.split(":")
    else:
        host, port_text = text, None
    if not host:
        raise ValueError("bad address %r" % text)
    if port_text is None:
        return host, default_port
    if not port_text.isdigit() or not 0 < int(port_text) < 65536:
        raise ValueError("bad port in %r" % text)
    return host, int(port_text)
