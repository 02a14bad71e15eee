"""The master library against the agent's crypto helper: what one side
seals the other must open, and frames must survive a byte stream that
arrives in pieces."""
import gzip
import json
import socket
import threading
import time

import pytest

from harness import REPO
from vemo_master import reply as reply_module
from vemo_master.reply import bounded_json
from vemo_master import (AgentFailure, BadSeal, ConnectionClosed,
                         FrameTooLarge, ReplyTooLarge, UnexpectedReply,
                         open_sealed,
                         pack_request, read_reply, recv_exact, reply_json,
                         reply_value, seal, wrap_session_key)

# Lengths either side of the master's window sizes (512 bytes, 32 KiB).
PLAINTEXTS = [b"", b"1", json.dumps({"path": "/www/\u7f51\u7ad9"}).encode(),
              bytes(range(256)) * 2 + b"x", bytes(range(256)) * 64,
              bytes(range(256)) * 160]


@pytest.fixture
def agent_crypto(tmp_path, monkeypatch):
    """The agent's crypto helper with a fresh key pair in tmp_path/data."""
    monkeypatch.syspath_prepend(str(REPO / "host"))
    monkeypatch.chdir(tmp_path)
    (tmp_path / "data").mkdir()
    import rsa_aes
    helper = rsa_aes.rsa_aes()
    helper.create_rsa()
    helper.public_pem = (tmp_path / "data" / "id_rsa.pub").read_bytes()
    return helper


@pytest.fixture
def pair():
    a, b = socket.socketpair()
    a.settimeout(5)
    b.settimeout(5)
    yield a, b
    a.close()
    b.close()


class TestSealing:
    @pytest.mark.parametrize("size", [16, 24, 32])
    @pytest.mark.parametrize("plaintext", PLAINTEXTS, ids=len)
    def test_both_directions(self, agent_crypto, size, plaintext):
        key = bytes(range(size))
        opened = agent_crypto.aes_decrypt(key, seal(key, plaintext))
        assert gzip.decompress(opened) == plaintext
        sealed = agent_crypto.aes_encrypt(key, gzip.compress(plaintext, 1))
        assert open_sealed(key, sealed) == plaintext

    def test_nonce_is_fresh(self):
        key = b"k" * 32
        assert seal(key, b"same") != seal(key, b"same")

    @pytest.mark.parametrize("damage", [
        lambda s: s[:-1] + bytes([s[-1] ^ 1]),   # tag
        lambda s: s[:12] + bytes([s[12] ^ 1]) + s[13:],   # ciphertext
        lambda s: s[:27],                      # shorter than nonce + tag
    ], ids=["tag", "ciphertext", "short"])
    def test_damage_is_refused(self, damage):
        key = b"k" * 16
        with pytest.raises(BadSeal):
            open_sealed(key, damage(seal(key, b"payload")))

    def test_wrong_key_is_refused(self):
        with pytest.raises(BadSeal):
            open_sealed(b"a" * 32, seal(b"b" * 32, b"payload"))

    def test_sealed_non_gzip_is_refused(self, agent_crypto):
        key = b"k" * 24
        with pytest.raises(BadSeal):
            open_sealed(key, agent_crypto.aes_encrypt(key, b"not gzip"))


    def test_opened_size_is_bounded_across_gzip_members(self, agent_crypto):
        key = b"k" * 32
        members = gzip.compress(b"a" * 600) + gzip.compress(b"b" * 400) + bytes(8)
        sealed = agent_crypto.aes_encrypt(key, members)
        assert open_sealed(key, sealed, limit=1000) == b"a" * 600 + b"b" * 400
        with pytest.raises(ReplyTooLarge):
            open_sealed(key, sealed, limit=999)


class TestKeyWrap:
    @pytest.mark.parametrize("size", [16, 24, 32, 31])
    def test_agent_recovers_key(self, agent_crypto, size):
        key = bytes(range(100, 100 + size))
        wrapped = wrap_session_key(agent_crypto.public_pem, key)
        assert gzip.decompress(agent_crypto.rsa_decrypt_private(wrapped)) == key

    def test_pem_as_text(self, agent_crypto):
        wrapped = wrap_session_key(agent_crypto.public_pem.decode(), b"x" * 32)
        assert gzip.decompress(
            agent_crypto.rsa_decrypt_private(wrapped)) == b"x" * 32


class TestFrames:
    def test_request_header(self):
        assert pack_request(7, b"abc") == b"\x03\x00\x00\x00\x07abc"

    def test_header_with_negative_length_and_type(self):
        assert pack_request(-1, b"", length=-5) == b"\xfb\xff\xff\xff\xff"

    @pytest.mark.parametrize("kw", [{"msg_type": 128},
                                    {"msg_type": 0, "length": 2 ** 31}])
    def test_header_overflow(self, kw):
        with pytest.raises(ValueError):
            pack_request(payload=b"", **kw)

    def test_recv_exact_gathers_pieces(self, pair):
        a, b = pair
        data = bytes(range(256)) * 20

        def trickle():
            for i in range(0, len(data), 700):
                b.sendall(data[i:i + 700])
                time.sleep(0.01)
            b.sendall(b"next")

        sender = threading.Thread(target=trickle)
        sender.start()
        assert recv_exact(a, len(data)) == data
        sender.join()
        assert recv_exact(a, 4) == b"next"

    def test_recv_exact_eof(self, pair):
        a, b = pair
        b.sendall(b"abc")
        b.close()
        with pytest.raises(ConnectionClosed, match="3 of 10"):
            recv_exact(a, 10)

    def test_read_reply(self, pair):
        a, b = pair
        b.sendall(b"\x04\x00\x00\x00True\x00\x00\x00\x00")
        assert read_reply(a) == b"True"
        assert read_reply(a) == b""

    def test_read_reply_cap_refuses_before_reading(self, pair):
        a, b = pair
        b.sendall(b"\xff\xff\xff\xff")   # announced, never sent
        with pytest.raises(FrameTooLarge) as info:
            read_reply(a, max_size=1024)
        assert info.value.size == 2 ** 32 - 1


class TestReplyDecoding:
    def test_codes_and_json(self):
        assert reply_json(b"-1") == -1
        assert reply_json(b'{"status": false, "msg": "\\u672a"}') == {
            "status": False, "msg": "\u672a"}

    def test_failure_report(self):
        report = "Traceback (most recent call last):\n  ...\nKeyError: 'x'\n"
        with pytest.raises(AgentFailure) as info:
            reply_json(report.encode())
        assert info.value.text == report
        assert reply_value(report.encode()) == report

    def test_bare_text(self):
        with pytest.raises(UnexpectedReply) as info:
            reply_json("\u4e0a\u4f20".encode())
        assert not isinstance(info.value, AgentFailure)
        assert reply_value(b"True") == "True"

    def test_fast_parser_agrees_with_the_standard_one(self, monkeypatch):
        """Replies the optional fast parser refuses or might read otherwise
        come out as the standard parser reads them; integers past 64 bits
        stay exact where the fast parser is not used."""
        samples = [b"9223372036854775807", b"NaN", b"[Infinity, 1e400, -0.0]", b'"\\udcff.bin"',
                   b'"\\ud83d\\ude00"', b'{"a": 1, "a": 2}', b"\xff\"x\"", b"[" * 2000 + b"]" * 2000,
                   b"\xef\xbb\xbf1", b" 1.5e3 ", b"True", b"Traceback (most recent call last):\n"]

        def parsed(parse, sample):
            try:
                return repr(parse(sample))
            except (UnexpectedReply, RecursionError) as exc:
                return type(exc).__name__
        fast = [parsed(bounded_json, s) for s in samples]
        assert fast == [parsed(reply_json, s) for s in samples]
        monkeypatch.setattr(reply_module, "_orjson", lambda: None)
        assert fast == [parsed(bounded_json, s) for s in samples]
        assert reply_json(b"[18446744073709551616]") == [2 ** 64]
