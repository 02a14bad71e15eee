"""One request whose answer may be JSON or bare text."""
from .errors import Refused, UnexpectedReply
from .reply import reply_json


def answer(session, msg_type, args=None):
    """The answer's JSON value, or its text when it is bare text; a
    failure report of the agent raises AgentFailure."""
    try:
        return reply_json(session.request(msg_type, args))
    except UnexpectedReply as exc:
        if type(exc) is not UnexpectedReply:
            raise
        return exc.text


def call(session, msg_type, args=None):
    """answer(), with a result message whose status is false raised as
    Refused (its text kept as the agent sent it)."""
    value = answer(session, msg_type, args)
    if isinstance(value, dict) and value.get("status") is False:
        raise Refused(value.get("msg"))
    return value
