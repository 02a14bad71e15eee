"""host/ZQ_VEMO.py: the current-request object."""
import json


def test_default_request(load):
    zq = load("ZQ_VEMO")
    assert zq.request.args.to_dict() == {}
    assert zq.request.form.to_dict() == {}
    assert zq.request.remote_addr == "127.0.0.1"


def test_set_request_updates_in_place(load):
    zq = load("ZQ_VEMO")
    from ZQ_VEMO import request  # as scriptor imports it, before the set
    zq.set_request(args={"a": "1"}, form={"b": "2", "client_ip": "6.6.6.6"},
                   remote_addr="192.0.2.5")
    assert request is zq.request
    assert request.args.to_dict() == {"a": "1"}
    assert request.form.to_dict() == {"b": "2", "client_ip": "6.6.6.6"}
    assert request.remote_addr == "192.0.2.5"
    # to_dict gives a plain, JSON-able copy
    d = request.form.to_dict()
    assert type(d) is dict
    d["x"] = "y"
    assert "x" not in request.form
    assert json.loads(json.dumps(request.args.to_dict())) == {"a": "1"}


def test_scriptor_style_post(load):
    """The PHP bridge arguments file content, built from the stand-ins."""
    zq = load("ZQ_VEMO")
    public = load("public")
    zq.set_request(args={"q": "1"}, form={"client_ip": "evil", "f": "v"},
                   remote_addr="198.51.100.20")
    post = zq.request.form.to_dict()
    post["client_ip"] = public.GetClientIp()
    text = json.dumps({"GET": zq.request.args.to_dict(), "POST": post})
    assert text == ('{"GET": {"q": "1"}, "POST": {"client_ip": '
                    '"198.51.100.20", "f": "v"}}')
