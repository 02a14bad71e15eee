"""A canned installer in place of the private environment's pip: it
records its arguments (NUL-separated) and prints what the test put in
`out` and `err` beside it."""
CANNED_PIP = """#!/bin/sh
here=$(dirname "$0")
printf '%s\\0' "$@" > "$here/argv"
cat "$here/out"
cat "$here/err" >&2
"""


class Canned(object):
    def __init__(self, root):
        self.bin = root / "vemo" / "pyenv" / "bin"
        self.bin.mkdir(parents=True)
        (self.bin / "pip").write_text(CANNED_PIP)
        (self.bin / "pip").chmod(0o755)
        self.prints()

    def prints(self, out="", err=""):
        (self.bin / "out").write_text(out)
        (self.bin / "err").write_text(err)

    def argv(self):
        return (self.bin / "argv").read_text().split("\0")[:-1]
