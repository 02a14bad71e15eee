"""Turning an opened reply into a Python value."""
import functools
import json

from .errors import AgentFailure, UnexpectedReply

# What the agent's failure report (a Python traceback) starts with.
FAILURE_MARK = "Traceback (most recent call last):"


def reply_value(plaintext):
    """The JSON value of a reply, or its text when it is not JSON."""
    try:
        return reply_json(plaintext)
    except UnexpectedReply as exc:
        return exc.text


def reply_json(plaintext):
    """The JSON value of a reply; AgentFailure for a failure report,
    UnexpectedReply for any other bare text."""
    text = plaintext.decode("utf-8", errors="replace")
    try:
        return json.loads(text)
    except ValueError:
        if text.lstrip().startswith(FAILURE_MARK):
            raise AgentFailure(text) from None
        raise UnexpectedReply(text) from None


def bounded_json(plaintext):
    """reply_json for replies whose integers all fit in 64 bits, as a
    listing's do.  Parsed by orjson where it is installed, in two thirds of
    the time, but only such replies: it reads a longer integer as a float."""
    orjson = _orjson()
    if orjson is not None:
        try:
            return orjson.loads(plaintext)
        except orjson.JSONDecodeError:
            # NaN, lone surrogates, bytes that are not UTF-8, bare text:
            # the standard parser decides, and words the error.
            pass
    return reply_json(plaintext)


@functools.lru_cache(maxsize=None)
def _orjson():
    """The orjson module where it is installed, else None; looked up at the
    first reply that may use it, so that masters that never list pay no
    failed import."""
    try:
        import orjson
    except ImportError:
        return None
    return orjson
