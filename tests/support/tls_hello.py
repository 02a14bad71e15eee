"""The first flight of a TLS client, as bytes a test or bench can send
whole, in halves or a byte at a time."""
import ssl


def client_hello():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    outgoing = ssl.MemoryBIO()
    tls = context.wrap_bio(ssl.MemoryBIO(), outgoing)
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass  # waiting for the server's answer, as expected
    return outgoing.read()
