"""One request whose answer may be JSON or bare text."""
from .errors import UnexpectedReply
from .reply import reply_json


def call(session, msg_type, args=None):
    """The answer's JSON value, or its text when it is bare text; a
    failure report of the agent raises AgentFailure."""
    try:
        return reply_json(session.request(msg_type, args))
    except UnexpectedReply as exc:
        if type(exc) is not UnexpectedReply:
            raise
        return exc.text
