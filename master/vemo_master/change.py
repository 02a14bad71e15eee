"""What a call that may change an agent reports."""
import collections

# `changed`: whether anything was (or, with check=True, would be) written;
# `before` and `after`: the state read before and after (the state that
# would result, with check=True); `note`: what could not be read back;
# `transfer`: the upload's outcome (transfer.UploadResult) when content
# was sent, else None.
Change = collections.namedtuple("Change", "changed before after note transfer")
Change.__new__.__defaults__ = ("", None)
