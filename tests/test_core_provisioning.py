"""Key material made when the agent is constructed."""
import os
import stat

import pytest

from cryptography import x509
from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.x509.oid import NameOID

CONSTRUCT = "import client; a = client.zq_vemo_client(); print(a.create_ssl())"


# Serial number 0 is what the agent's certificate carries; the parser
# merely warns about it today.
@pytest.mark.filterwarnings("ignore:Parsed a serial number")
def test_fresh_server_gets_key_pair_and_self_signed_certificate(server_root, py):
    assert py(CONSTRUCT).stdout.strip() == "True"
    cs = server_root / "vemo" / "client-side"
    cert = x509.load_pem_x509_certificate((cs / "cert" / "certificate.pem").read_bytes())
    assert cert.serial_number == 0
    assert cert.version == x509.Version.v1
    names = [(a.oid, a.value) for a in cert.subject]
    assert names == [(NameOID.COMMON_NAME, "ZQ_VEMO_CLIENT")]
    assert cert.issuer == cert.subject
    validity = cert.not_valid_after_utc - cert.not_valid_before_utc
    assert validity.total_seconds() == 315360000
    assert cert.signature_hash_algorithm.name == "sha1"
    assert len(cert.extensions) == 0
    public = cert.public_key()
    assert isinstance(public, rsa.RSAPublicKey) and public.key_size == 2048
    public.verify(cert.signature, cert.tbs_certificate_bytes,
                  padding.PKCS1v15(), cert.signature_hash_algorithm)
    for private in (cs / "cert" / "privateKey.pem", cs / "data" / "id_rsa"):
        assert stat.S_IMODE(os.stat(private).st_mode) == 0o600
    assert (cs / "data" / "id_rsa.pub").read_bytes().startswith(b"-----BEGIN PUBLIC KEY")


def test_existing_material_is_left_alone(server_root, py):
    cs = server_root / "vemo" / "client-side"
    (cs / "data" / "id_rsa.pub").write_text("kept")
    (cs / "cert").mkdir()
    (cs / "cert" / "certificate.pem").write_text("kept cert")
    assert py(CONSTRUCT).stdout.strip() == "True"
    assert (cs / "data" / "id_rsa.pub").read_text() == "kept"
    assert not (cs / "data" / "id_rsa").exists()  # no new pair was generated
    assert (cs / "cert" / "certificate.pem").read_text() == "kept cert"
    assert not (cs / "cert" / "privateKey.pem").exists()


def test_certificate_goes_through_the_panel_writer(server_root, py):
    # A recording writer in front of the real one: every file of the
    # certificate passes through it with the binary mode.
    code = (
        "import sys\n"
        "sys.path.insert(0, 'class/')\n"
        "import public\n"
        "calls = []\n"
        "real = public.writeFile\n"
        "def recording(path, data, mode='w+'):\n"
        "    calls.append((path, type(data).__name__, mode))\n"
        "    return real(path, data, mode)\n"
        "public.writeFile = recording\n"
        "import client\n"
        "client.zq_vemo_client()\n"
        "print(calls)\n")
    out = py(code).stdout
    assert "('cert/certificate.pem', 'bytes', 'wb+')" in out
    assert "('cert/privateKey.pem', 'bytes', 'wb+')" in out


def test_import_sets_directory_and_search_path_without_starting(server_root, py):
    code = ("import os, sys, client, client as again\n"
            "print(os.getcwd()); print(sys.path[:3]); print(os.listdir('data'))")
    out = py(code, check=True).stdout.splitlines()
    assert out[0] == str(server_root / "vemo" / "client-side")
    # client puts class/ first, then warden puts class/ and threads/ first.
    assert out[1] == "['threads/', 'class/', 'class/']"
    assert out[2] == "['port.pl']"  # what the install laid out, nothing more
