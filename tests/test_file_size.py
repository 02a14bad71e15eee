"""The size of a remote entry, through the master call and vemoctl."""
import os

from test_vemoctl import REFUSED, as_json, assert_one_line_error, vemoctl
from vemo_master import files


def test_size_of_a_file_and_of_a_missing_path(agent, tmp_path):
    target = tmp_path / "f.bin"
    target.write_bytes(os.urandom(1234))
    assert files.size(agent.session(), str(target)) == 1234
    assert files.size(agent.session(), str(tmp_path / "none")) is None

    shown = vemoctl(agent, "--json", "size", target)
    assert as_json(shown)["result"] == {"path": str(target), "size": 1234}
    assert_one_line_error(vemoctl(agent, "size", tmp_path / "none"), REFUSED, "no such remote path")
