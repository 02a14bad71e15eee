"""Relay client: the agent's relay handler uses it to call another agent.

`_p_rsa` holds the other agent's public key (PEM text) and must be set
before `connect`. Each operation sends one request and returns the reply
as a Python value: its JSON value when it is JSON, else its text.

Other agents' certificates are pinned on first use in this agent's own
data directory, not in the home of whoever runs it: the service may have
no home, and the record belongs with the agent's keys.
"""
import os

from vemo_master import MsgType, Session, reply_value

# The relay runs on the agent's only loop thread: a silent peer must not
# hold it for long.
RELAY_TIMEOUT = 10.0
# However its bytes trickle in, a call is answered or dropped within this.
RELAY_DEADLINE = 15.0
# What the other agent's answer may open to; it is sealed again for the
# master, so it is held twice.
RELAY_MAX_REPLY = 16 * 1024 * 1024
# Installed in <install dir>/class; the data directory is its sibling.
KNOWN_HOSTS = os.path.join(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))), "data", "known_hosts")


class sock_client(object):
    def __init__(self):
        self._p_rsa = None
        self._session = None

    def connect(self, host, port):
        if not self._p_rsa:
            raise ValueError("set _p_rsa to the peer's public key first")
        self.close()
        session = Session(host, int(port), self._p_rsa, timeout=RELAY_TIMEOUT,
                          known_hosts=KNOWN_HOSTS, deadline=RELAY_DEADLINE,
                          max_reply=RELAY_MAX_REPLY)
        try:
            session.connect()
            session.exchange_key()
        except BaseException:
            session.close()
            raise
        self._session = session
        return True

    def close(self):
        session, self._session = getattr(self, "_session", None), None
        if session is not None:
            session.close()

    # The relay handler drops this object without closing it.
    __del__ = close

    def _request(self, msg_type, args=None):
        if self._session is None:
            raise ConnectionError("relay client is not connected")
        return reply_value(self._session.request(msg_type, args))

    def heartbeat(self):
        return self._request(MsgType.HEARTBEAT)

    def get_file_list(self, path):
        return self._request(MsgType.GET_FILE_LIST, path)

    def check_file_sha1(self, path, sha1):
        return self._request(MsgType.CHECK_FILE_SHA1,
                             {"f_name": path, "f_sha1": sha1})

    def create_dir(self, path, mode=None, user=None):
        return self._request(MsgType.CREATE_DIR,
                             _given(path=path, mode=mode, user=user))

    def set_file_mode(self, path, mode=None, user=None):
        return self._request(MsgType.SET_FILE_MODE,
                             _given(path=path, mode=mode, user=user))

    def get_plugin_list(self):
        return self._request(MsgType.GET_PLUGIN_LIST)

    def plugin_is_isntalled(self, p_name):
        return self._request(MsgType.PLUGIN_IS_ISNTALLED, {"p_name": p_name})

    def plugin(self, p_name, p_fun, **args):
        return self._request(MsgType.PLUGIN,
                             dict(args, p_name=p_name, p_fun=p_fun))

    def mod_list(self):
        return self._request(MsgType.MOD_LIST)

    def warden(self, fun, **args):
        return self._request(MsgType.WARDEN, dict(args, fun=fun))

    def task_admin(self, fun, **args):
        return self._request(MsgType.TASK_ADMIN, dict(args, fun=fun))


def _given(**args):
    """The arguments that were given: optional keys are left out, not null."""
    return {k: v for k, v in args.items() if v is not None}
