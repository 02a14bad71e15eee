"""Exit codes, one-line error messages and what goes on stdout."""
import json
import re
import socket
import ssl
import sys

from ..errors import (AgentFailure, BadSeal, CertificateChanged,
                      ConnectionClosed, DeadlineExceeded, FingerprintMismatch,
                      KeyRefused, Refused, ReplyTooLarge, TransferError,
                      UnexpectedReply, Unreachable, VemoError)
from ..messages import english


EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_REFUSED = 3
EXIT_INTERRUPTED = 130
EXIT_PIPE = 141

OK, FAILED, REFUSED = "ok", "failed", "refused"
EXIT_CODES = {OK: EXIT_OK, FAILED: EXIT_FAILED, REFUSED: EXIT_REFUSED}


# C0 controls, DEL and C1 controls: a terminal acts on them (moves the
# cursor, retitles the window, ...), so text from an agent never reaches it
# raw.
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f]")
_CONTROL_IN_LINES = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f]")
_NAMED = {"\n": "\\n", "\t": "\\t", "\r": "\\r"}


def _escape(match):
    char = match.group()
    return _NAMED.get(char, "\\x%02x" % ord(char))


def shown(text):
    """`text` (a name, an agent's message) fit for one line of a terminal:
    control characters, line breaks included, as backslash escapes."""
    return _CONTROL.sub(_escape, str(text))


def terminal_text(text):
    """Like shown(), but keeps line breaks and tabs."""
    return _CONTROL_IN_LINES.sub(_escape, text)


class CommandError(Exception):
    """A failure the command found itself, with its status and message."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message


class UsageError(Exception):
    """Arguments that cannot make a request; `parser` is the one whose
    usage line applies."""

    def __init__(self, message, parser=None):
        super().__init__(message)
        self.parser = parser


class RelayRefused(Refused):
    """A refusal by the agent a relay reached, `target` (host:port)."""

    def __init__(self, msg, target):
        super().__init__(msg)
        self.target = target


def failed(message):
    return CommandError(FAILED, message)


def refused(message):
    return CommandError(REFUSED, message)


def one_line(text, limit=300):
    text = shown(" ".join(str(text).split()))
    return text if len(text) <= limit else text[:limit - 3] + "..."


def _last_line(text):
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return lines[-1] if lines else text


def _refusal_text(msg):
    if isinstance(msg, str):
        return msg
    return json.dumps(msg, ensure_ascii=False)


def classify(exc, where, timeout):
    """(status, one-line message) for an exception of one host's run."""
    if isinstance(exc, Unreachable) and exc.__cause__ is not None:
        # Worded from what ended the attempt, with the command's options.
        exc = exc.__cause__
    if isinstance(exc, CommandError):
        return exc.status, one_line(exc.message)
    if isinstance(exc, KeyRefused):
        reply = exc.reply.decode("utf-8", "replace") if isinstance(
            exc.reply, bytes) else str(exc.reply)
        try:
            reply = _refusal_text(json.loads(reply).get("msg", reply))
        except (ValueError, AttributeError):
            reply = _last_line(reply)
        return REFUSED, one_line("%s: key refused by the agent (%s)"
                                 % (where, reply))
    if isinstance(exc, Refused):
        if isinstance(exc, RelayRefused):
            where = "%s (through %s)" % (exc.target, where)
        return REFUSED, one_line("%s: refused: %s"
                                 % (where, _refusal_text(english(exc.msg))))
    if isinstance(exc, AgentFailure):
        return REFUSED, one_line("%s: the agent failed: %s"
                                 % (where, _last_line(exc.text)))
    if isinstance(exc, UnexpectedReply):
        return FAILED, one_line("%s: unexpected answer: %s"
                                % (where, exc.text))
    if isinstance(exc, CertificateChanged):
        # Not shortened: the line ends in the command to paste.
        return REFUSED, (
            "%s: certificate changed: recorded %s, the agent presents %s; if "
            "it was replaced on purpose, accept it with: vemoctl --host %s "
            "--port %d trust %s" % (where, exc.expected, exc.actual,
                                    exc.host, exc.port, exc.actual))
    if isinstance(exc, FingerprintMismatch):
        return REFUSED, one_line("%s: %s" % (where, exc))
    if isinstance(exc, BadSeal):
        return FAILED, one_line("%s: reply did not open: %s" % (where, exc))
    if isinstance(exc, TransferError):
        return FAILED, one_line("%s: transfer failed: %s" % (where, exc))
    if isinstance(exc, DeadlineExceeded):
        return FAILED, "%s: no whole answer within the deadline of %g s " \
            "(--deadline)" % (where, exc.seconds)
    if isinstance(exc, ReplyTooLarge):
        return FAILED, "%s: answer larger than %d MiB once decompressed " \
            "(--max-reply)" % (where, exc.limit >> 20)
    if isinstance(exc, socket.timeout):
        return FAILED, "%s: timed out after %g s" % (where, timeout)
    if isinstance(exc, ConnectionRefusedError):
        return FAILED, "%s: unreachable: connection refused" % where
    if isinstance(exc, socket.gaierror):
        return FAILED, one_line("%s: unknown host: %s" % (where, exc.strerror))
    if isinstance(exc, (ConnectionClosed, ConnectionError, ssl.SSLError,
                        EOFError)):
        return FAILED, one_line("%s: connection lost: %s"
                                % (where, exc.strerror if isinstance(
                                    exc, OSError) and exc.strerror else exc))
    if isinstance(exc, OSError) and exc.filename is not None:
        # Only local files raise with a file name: the agent's answers
        # carry none.
        return FAILED, one_line("local %s: %s" % (exc.filename,
                                                  exc.strerror or exc))
    if isinstance(exc, OSError):
        return FAILED, one_line("%s: %s" % (where, exc.strerror or exc))
    if isinstance(exc, VemoError):
        return FAILED, one_line("%s: %s" % (where, exc))
    return FAILED, one_line("%s: internal error: %s: %s"
                            % (where, type(exc).__name__, exc))


def unexpected(exc):
    """True for an exception that is a bug of vemoctl, not something the
    agent, the network or the local files did."""
    return not isinstance(exc, (CommandError, VemoError, OSError, EOFError))


def error(message, stream=None):
    stream = sys.stderr if stream is None else stream
    stream.write("vemoctl: %s\n" % shown(message))
    stream.flush()


def render_value(value):
    """Text of an agent's answer: text as it is, anything else as JSON."""
    if isinstance(value, str):
        return value
    return json.dumps(value, ensure_ascii=False, indent=2)


def print_json(document, stream=None):
    """The document as JSON; controls JSON itself leaves raw (DEL, C1)
    are written as \\u escapes, so the text stays valid JSON."""
    stream = sys.stdout if stream is None else stream
    text = json.dumps(document, ensure_ascii=False, indent=2)
    stream.write(re.sub("[\x7f-\x9f]",
                        lambda m: "\\u%04x" % ord(m.group()), text))
    stream.write("\n")
    stream.flush()


def print_text(text, prefix="", stream=None):
    stream = sys.stdout if stream is None else stream
    if not text:
        return
    for line in terminal_text(text).splitlines():
        stream.write(prefix + line + "\n")
    stream.flush()


def address(host, port):
    """host:port, with an IPv6 host in brackets."""
    return "%s:%d" % ("[%s]" % host if ":" in host else host, port)


def summary_table(results):
    """Fixed-width table of per-host results, one row per host."""
    rows = [("HOST", "STATUS", "BYTES", "TIME", "ERROR")]
    for r in results:
        host = address(r["host"], r["port"])
        message = r.get("error", "")
        if message.startswith(host + ": "):
            message = message[len(host) + 2:]
        rows.append((host, r["status"], str(r["bytes"]),
                     "%.2fs" % r["seconds"], message))
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    lines = []
    for row in rows:
        cells = [row[i].ljust(widths[i]) for i in range(4)] + [row[4]]
        lines.append("  ".join(cells).rstrip())
    ok = sum(1 for r in results if r["status"] == OK)
    lines.append("%d of %d hosts ok" % (ok, len(results)))
    return "\n".join(lines)


def overall_exit(results):
    statuses = {r["status"] for r in results}
    if FAILED in statuses:
        return EXIT_FAILED
    if REFUSED in statuses:
        return EXIT_REFUSED
    return EXIT_OK
