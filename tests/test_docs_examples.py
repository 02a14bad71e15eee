"""The shell examples of master/README.md and docs/vemoctl.md, taken from
the Markdown and run as written against a real agent, in a shell where
$VEMO_HOST, $VEMO_PORT, $VEMO_KEY and $DEMO are set as the docs say. A
doc's examples run in order as one script that stops at the first
failing command."""
import os
import re
import stat
import subprocess
import sys

import pytest

from harness import REPO

BLOCK = re.compile(r"^```sh\n(.*?)^```$", re.M | re.S)
DOCS = ["master/README.md", "docs/vemoctl.md"]


def examples(doc):
    return "\n".join(BLOCK.findall((REPO / doc).read_text()))


@pytest.fixture
def shell(agent, tmp_path):
    """shell(script) runs `script` with bash -e in a fresh directory, with
    vemoctl of this checkout on PATH; the work and remote directories."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "vemoctl").write_text(
        '#!/bin/sh\nexec "%s" -m vemo_master.cli "$@"\n' % sys.executable)
    os.chmod(bin_dir / "vemoctl", 0o755)
    work, demo = tmp_path / "work", tmp_path / "demo"
    work.mkdir()
    env = dict(os.environ, VEMO_HOST="127.0.0.1", VEMO_PORT=str(agent.port),
               VEMO_KEY=str(agent.install_dir / "data" / "id_rsa.pub"),
               DEMO=str(demo), PYTHONPATH=str(REPO / "master"),
               PATH="%s:%s" % (bin_dir, os.environ["PATH"]))

    def run(script):
        return subprocess.run(["bash", "-e", "-x", "-c", script], cwd=str(work),
                              env=env, capture_output=True, text=True,
                              timeout=600)
    return run, work, demo


@pytest.mark.parametrize("doc", DOCS)
def test_doc_examples_run_as_written(shell, doc):
    run, work, demo = shell
    script = examples(doc)
    assert script.count("vemoctl ") >= 5, doc   # the blocks were found
    done = run(script)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    assert "Traceback" not in done.stdout + done.stderr
    if doc == "master/README.md":
        placed = demo / "backup" / "site.conf"
        assert (work / "restored.conf").read_bytes() == placed.read_bytes()
        assert stat.S_IMODE(os.stat(placed).st_mode) == 0o640
        assert "already in place" in done.stdout
    else:
        assert (demo / "site" / "conf" / "a.ini").read_text() == "a = 1\n"
        assert (work / "backup" / "site" / "conf" / "a.ini").read_text() == "a = 1\n"
        assert (demo / "restore").is_dir()
        # The first contact printed its one line; trust re-recorded it.
        assert done.stdout.count("(first contact)") == 1
        assert done.stdout.count("recorded in") >= 3
