"""Archive commands: the agent hands them to the panel's task object and
answers with its result; one whose status is false raises Refused."""
from .calls import call as _call
from .types import MsgType


def to_zip(session, sfile, dfile, stype):
    """Pack `sfile` into the archive `dfile` of type `stype`."""
    return _call(session, MsgType.TO_ZIP, {"sfile": sfile, "dfile": dfile, "stype": stype})


def un_zip(session, sfile, dfile, password=""):
    """Unpack the archive `sfile` into `dfile`."""
    return _call(session, MsgType.UN_ZIP, {"sfile": sfile, "dfile": dfile, "password": password})
