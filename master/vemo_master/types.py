"""Request message types, named after the agent operation they reach."""
import enum


class MsgType(enum.IntEnum):
    ON_PASSWORD = 0
    ON_JSON = 1
    ON_FILE = 2
    ON_CHECK_FILE_UPLOAD = 3
    ON_DOWNLOAD = 4
    CREATE_DIR = 5
    SET_FILE_MODE = 6
    GET_FILE_LIST = 7
    CHECK_FILE_SHA1 = 8
    GET_PLUGIN_LIST = 9
    PLUGIN = 10
    # The agent's operation carries this spelling; the alias is for callers.
    PLUGIN_IS_ISNTALLED = 11
    PLUGIN_IS_INSTALLED = 11
    RELOAD_MOD = 12
    INSTALL_MOD = 13
    UNINSTALL_MOD = 14
    MOD_LIST = 15
    HEARTBEAT = 16
    OTHER_SOCK = 17
    TO_ZIP = 18
    UN_ZIP = 19
    WARDEN = 20
    TASK_ADMIN = 21
