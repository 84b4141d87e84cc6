"""Device-side helpers: the init stand-in for service sockets and a socket client."""

import contextlib
import os
import socket as socketlib
import sys

from devsimlib.errors import DevsimError
from devsimlib.framing import frame, read_frame


def service_main(argv):
    """devsim service NAME -- COMMAND...: what Android's init does for a service with a
    socket: binds a stream socket at /dev/socket/NAME, hands it to COMMAND as the
    descriptor named by ANDROID_SOCKET_NAME, and runs COMMAND (which listens on it)."""
    if len(argv) < 3 or argv[1] != "--":
        raise DevsimError("usage: devsim service NAME -- COMMAND...")
    name, command = argv[0], argv[2:]
    path = f"/dev/socket/{name}"
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)
    sock = socketlib.socket(socketlib.AF_UNIX, socketlib.SOCK_STREAM)
    sock.bind(path)
    os.chmod(path, 0o660)
    fd = sock.detach()
    os.set_inheritable(fd, True)
    os.environ[f"ANDROID_SOCKET_{name}"] = str(fd)
    os.execvp(command[0], command)


def send_main(argv):
    """devsim send SOCKET REQUEST...: sends each request, framed, on one connection and
    prints each reply body as it came; status 1 when a reply does not come."""
    if len(argv) < 2:
        raise DevsimError("usage: devsim send SOCKET REQUEST...")
    with socketlib.socket(socketlib.AF_UNIX, socketlib.SOCK_STREAM) as s:
        s.settimeout(float(os.environ.get("DEVSIM_SEND_TIMEOUT", "10")))
        s.connect(argv[0])
        for text in argv[1:]:
            s.sendall(frame(text))
            try:
                reply = read_frame(s)
            except (DevsimError, OSError) as e:
                sys.stderr.write(f"devsim send: {e}\n")
                return 1
            sys.stdout.buffer.write(reply)
            sys.stdout.flush()
    return 0
