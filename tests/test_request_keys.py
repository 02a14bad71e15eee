"""Request keys of the wrong kind: the failure report names the key and
what it should hold; upload sizes the agent cannot trust are answered
before the connection ends; a mode or owner that would be ignored is not
reported as done; worker requests without their module get a short
refusal."""
import json
import os

import pytest

from connection_checks import assert_in_step, sees_end
from vemo_master import MsgType, Refused, extension, reply_value


def answer(session, msg_type, args):
    session.send_frame(msg_type, session.seal(json.dumps(args).encode()))
    return reply_value(session.unseal(session.recv_reply()))


@pytest.mark.parametrize("f_pos, why", [
    (-5, "ValueError: 'f_pos' must be 0 or more"),
    ("0", "TypeError: 'f_pos' must be an integer, not str"),
    (0.0, "TypeError: 'f_pos' must be an integer, not float"),
    (None, "TypeError: 'f_pos' must be an integer, not NoneType"),
])
def test_upload_offset_the_agent_cannot_count_from_is_answered_then_closed(
        agent, tmp_path, f_pos, why):
    s = agent.session()
    header = {"f_path": str(tmp_path), "f_name": "f", "f_size": 10,
              "f_md5": "0" * 32, "f_pos": f_pos}
    text = answer(s, MsgType.ON_FILE, header)
    assert text.startswith("Traceback") and text.rstrip().endswith(why)
    assert sees_end(s.sock, 5.0)
    assert not os.path.exists(tmp_path / "f._upload_tmp")
    assert agent.session().heartbeat()


@pytest.mark.parametrize("msg_type, args, why", [
    (MsgType.ON_CHECK_FILE_UPLOAD, {"f_path": "/tmp", "f_name": "n", "f_size": "12", "f_md5": ""},
     "TypeError: 'f_size' must be an integer, not str"),
    (MsgType.ON_CHECK_FILE_UPLOAD, {"f_path": "/tmp", "f_name": "n", "f_size": True, "f_md5": ""},
     "TypeError: 'f_size' must be an integer, not bool"),
    (MsgType.ON_DOWNLOAD, {"filename": "data/port.pl", "f_pos": "0"},
     "TypeError: 'f_pos' must be an integer, not str"),
    (MsgType.ON_DOWNLOAD, {"filename": "data/port.pl", "f_pos": 2 ** 64},
     "ValueError: 'f_pos' does not fit in 64 bits"),
])
def test_integer_keys_are_named_in_their_failure_report(agent, msg_type, args, why):
    s = agent.session()
    text = answer(s, msg_type, args)
    assert text.startswith("Traceback") and text.rstrip().endswith(why)
    assert_in_step(s)


def test_mode_or_owner_of_a_wrong_type_is_refused_not_done(agent, tmp_path):
    s = agent.session()
    target = tmp_path / "f"
    target.write_text("x")
    target.chmod(0o600)
    text = answer(s, MsgType.SET_FILE_MODE, {"path": str(target), "mode": [7, 5, 5]})
    assert text.rstrip().endswith(
        "TypeError: 'mode' must be octal digits as a string or an integer, not list")
    text = answer(s, MsgType.CREATE_DIR, {"path": str(tmp_path / "d"), "user": 0})
    assert text.rstrip().endswith("TypeError: 'user' must be an account name as a string, not int")
    assert not (tmp_path / "d").exists()
    # What masters send today still works: digits as text or a number, and
    # null as if the key were left out.
    assert answer(s, MsgType.SET_FILE_MODE, {"path": str(target), "mode": 640, "user": None}) == 1
    assert oct(target.stat().st_mode & 0o777) == "0o640"


@pytest.mark.parametrize("fun, args", [
    ("create_thread", {"name": "w", "args": {}}),
    ("create_tmp_thread", {"name": "w", "args": {}}),
    ("run_thread", {}),
    ("remove_thread", {}),
])
def test_worker_request_without_module_is_a_short_refusal(agent, fun, args):
    s = agent.session()
    with pytest.raises(Refused) as refused:
        extension.warden(s, fun, **args)
    assert refused.value.msg == "the request has no 'module'"


def test_worker_start_names_each_missing_key(agent):
    s = agent.session()
    for request, missing in (({"args": {}}, "name"), ({"name": "w"}, "args")):
        with pytest.raises(Refused) as refused:
            extension.warden(s, "create_tmp_thread", module="w", **request)
        assert refused.value.msg == "the request has no '%s'" % missing
