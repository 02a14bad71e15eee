"""A probe into a live agent, for tests of its internals: the agent has no
operation for message type 1, so the start-up code given here installs one
on the agent object that runs the Python text the test sends, with the
agent as `a` and the connection's descriptor as `fd`. Whatever the code
leaves in `reply` is sent back with the agent's own `send`."""
import json

from vemo_master import MsgType

SETUP = '''
import json as _probe_json
def _probe(fd, data):
    scope = {"a": a, "fd": fd}
    exec(_probe_json.loads(a.aes_decode(fd, data)), scope)
    if "reply" in scope:
        a.send(fd, scope["reply"])
a.on_json = _probe
'''


def probe(session, code):
    """Run `code` inside the agent on this session's connection; the
    opened reply plaintext."""
    return session.request(MsgType.ON_JSON, code)


def probe_value(session, code):
    return json.loads(probe(session, code))
