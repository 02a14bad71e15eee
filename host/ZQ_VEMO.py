"""Stand-in for the panel's web-application module `ZQ_VEMO`.

It offers `request`, the object describing the web request being served:
`request.args.to_dict()` (query parameters), `request.form.to_dict()`
(form fields), `request.remote_addr` (client address) and
`request.headers` (a plain dict; `public.GetClientIp` honours an
"X-Forwarded-For" entry). Plugin hosts and tests set the current request
with `set_request(...)`; the module-level `request` object is updated in
place, so a name imported earlier (`from ZQ_VEMO import request`) sees the
new request too.

Python 3.7 compatible.
"""


class MultiDict(object):
    """Minimal stand-in for a web framework's field mapping."""

    def __init__(self, data=None):
        self._data = dict(data or {})

    def to_dict(self):
        return dict(self._data)

    def get(self, key, default=None):
        return self._data.get(key, default)

    def __getitem__(self, key):
        return self._data[key]

    def __contains__(self, key):
        return key in self._data

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)

    def __repr__(self):
        return "MultiDict(%r)" % (self._data,)


class Request(object):
    def __init__(self, args=None, form=None, remote_addr="127.0.0.1",
                 headers=None):
        self.set(args, form, remote_addr, headers)

    def set(self, args=None, form=None, remote_addr="127.0.0.1",
            headers=None):
        self.args = MultiDict(args)
        self.form = MultiDict(form)
        self.remote_addr = remote_addr
        self.headers = dict(headers or {})

    def __repr__(self):
        return "Request(args=%r, form=%r, remote_addr=%r)" % (
            self.args, self.form, self.remote_addr)


request = Request()


def set_request(args=None, form=None, remote_addr="127.0.0.1", headers=None):
    """Make the given fields the current request; returns `request`."""
    request.set(args, form, remote_addr, headers)
    return request
