"""The grammar of put (cmd_put) and get (cmd_get): one file, several, or
trees (-r), each file with the resumable transfer. The destination is
resolved before anything is sent, as scp does: an existing directory, or
a name ending in "/", receives the files inside it. A file already in
place (same size and SHA-1) is skipped, as rsync does."""
import glob
import os

from . import cmd_get, cmd_put
from .argtypes import octal_mode
from .checks import absolute
from .declare import Command, arg
from .output import UsageError, failed


def _expand(sources):
    """Local paths, a quoted glob expanded here as the shell would."""
    found = []
    for source in sources:
        source = os.path.expanduser(source)
        if not os.path.lexists(source) and glob.has_magic(source):
            matches = sorted(glob.glob(source))
            if not matches:
                raise failed("no local file matches %s" % source)
            found += matches
        else:
            found.append(source)
    return found


def _check_put(args):
    absolute(args.remote)
    args.sources = _expand(args.sources)
    for source in args.sources:
        if os.path.isdir(source):
            if not args.recursive:
                raise UsageError("%s is a directory (use -r)" % source)
        elif not os.path.isfile(source):
            raise failed("no such local file: %s" % source)


def _transfer_options():
    return [arg("-r", "--recursive", action="store_true",
                help="copy directory trees"),
            arg("-n", "--dry-run", action="store_true",
                help="print what would be sent, change nothing"),
            arg("--no-verify", dest="verify", action="store_false",
                help="skip the SHA-1 comparison at the end")]


COMMANDS = [
    Command("put", "upload files or trees; resumes an interrupted upload, "
            "skips files in place", cmd_put.put,
            [arg("sources", nargs="+", metavar="LOCAL",
                 help="local files (globs are expanded), directories "
                      "with -r"),
             arg("remote", help="remote file, or directory (existing, or "
                                "ending in /)"),
             arg("--mode", type=octal_mode,
                 help="mode of the placed files, applied to files "
                      "already in place too; read back (with -r: the "
                      "local files' modes)"),
             arg("--user", help="owner of the placed files (an account "
                                "name); read back")]
            + _transfer_options(),
            '{"local", "remote", "size", "offset", "sent", "skipped", '
            '"verified"}; "offset" is where a resumed upload started, '
            '"skipped" means the file was already in place. Several '
            'files or -r: {"files": [that], "dirs", "links": [line], '
            '"sent"}; "mode" is in each file\'s entry when one was '
            'applied', _check_put),
    Command("get", "download files or trees; resumes from LOCAL.part, "
            "skips files in place", cmd_get.get,
            [arg("paths", nargs="+", metavar="REMOTE... [LOCAL]",
                 help="remote files, then the local file or directory "
                      "(default .)")] + _transfer_options()
            + cmd_get.OPTIONS,
            '{"remote", "local", "size", "offset", "received", "mode", '
            '"user", "skipped", "verified"}; several files or -r: '
            '{"files": [that], "received"}, with "links" [{"local", '
            '"target"}] and "skipped" [line] when the tree had links',
            cmd_get.check_get),
]
