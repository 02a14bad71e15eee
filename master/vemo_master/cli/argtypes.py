"""Argument types of vemoctl's grammar."""
import argparse
import json
import re

DEFAULT_PORT = 8899


def key_value(text):
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError("expected KEY=VALUE, got %r" % text)
    try:
        return key, json.loads(value)
    except ValueError:
        return key, value


def json_object(text):
    try:
        value = json.loads(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError("not JSON: %s" % exc)
    if not isinstance(value, dict):
        raise argparse.ArgumentTypeError("expected a JSON object")
    return value


def octal_mode(text):
    if not (1 <= len(text) <= 4 and all(c in "01234567" for c in text)):
        raise argparse.ArgumentTypeError("mode must be octal digits, e.g. 755")
    return text


def positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def port_number(text):
    value = int(text)
    if not 0 < value < 65536:
        raise argparse.ArgumentTypeError("port must be 1-65535")
    return value


def sha256_hex(text):
    value = text.replace(":", "").strip().lower()
    if not re.fullmatch(r"[0-9a-f]{64}", value):
        raise argparse.ArgumentTypeError(
            "expected a SHA-256 fingerprint: 64 hex digits, colons allowed")
    return value


def positive_float(text):
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be above 0")
    return value


def split_host_port(text, default_port):
    """(host, port) of "host", "host:port", "[v6]" or "[v6]:port";
    ValueError when malformed."""
    text = text.strip()
    if text.startswith("["):
        host, sep, rest = text[1:].partition("]")
        if not sep or not host:
            raise ValueError("bad address %r" % text)
        if not rest:
            return host, default_port
        if not rest.startswith(":"):
            raise ValueError("bad address %r" % text)
        port_text = rest[1:]
    elif text.count(":") == 1:
        host, port_text = text.split(":")
    else:
        host, port_text = text, None
    if not host:
        raise ValueError("bad address %r" % text)
    if port_text is None:
        return host, default_port
    if not port_text.isdigit() or not 0 < int(port_text) < 65536:
        raise ValueError("bad port in %r" % text)
    return host, int(port_text)
