"""Framed requests and replies on a local stream socket (2-byte little-endian length, then the body)."""

import socket as socketlib

from devsimlib.errors import DevsimError


def frame(text):
    """A request or reply as it travels on the daemon socket: 2-byte LE length, then body."""
    body = text.encode() if isinstance(text, str) else bytes(text)
    return len(body).to_bytes(2, "little") + body


def socket_request(path, text, timeout=10):
    """Connects to a local stream socket, sends one framed request, returns the reply body."""
    with socketlib.socket(socketlib.AF_UNIX, socketlib.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(path)
        s.sendall(frame(text))
        return read_frame(s).decode("utf-8", "replace")


def _read_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise DevsimError("connection closed before a whole reply arrived")
        data += chunk
    return data


def read_frame(sock):
    return _read_exact(sock, int.from_bytes(_read_exact(sock, 2), "little"))
