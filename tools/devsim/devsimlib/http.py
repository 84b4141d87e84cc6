"""Device-side update servers: lighttpd serving a directory on the device's loopback, and a
TCP proxy in front of it that makes the faults a plain server does not (cut, stall, a range
ignored). Both put themselves in the background once they accept connections, so that the next
command of a boot script can use them; they end with the boot."""

import argparse
import os
import socket
import subprocess
import threading
import time

from devsimlib.errors import DevsimError

LOOPBACK = "127.0.0.1"
STATE = "/dev/.devsim-http"


def _wait_listening(port, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        with socket.socket() as s:
            if s.connect_ex((LOOPBACK, port)) == 0:
                return
        time.sleep(0.02)
    raise DevsimError(f"nothing listens on port {port}")


def http_main(argv):
    """devsim http DIR [--port P] [--cert PEM --key PEM]: lighttpd serving DIR (ranges on) on
    127.0.0.1:P, with TLS when a certificate and key are given; returns once it listens."""
    p = argparse.ArgumentParser(prog="devsim http")
    p.add_argument("root")
    p.add_argument("--port", type=int, default=8080)
    p.add_argument("--cert")
    p.add_argument("--key")
    args = p.parse_args(argv)
    state = f"{STATE}-{args.port}"
    os.makedirs(state, exist_ok=True)
    conf = [f'server.document-root = "{os.path.abspath(args.root)}"',
            f"server.port = {args.port}", f'server.bind = "{LOOPBACK}"',
            f'server.errorlog = "{state}/error.log"',
            'mimetype.assign = ( "" => "application/octet-stream" )']
    if args.cert:
        conf += ['server.modules += ( "mod_openssl" )', 'ssl.engine = "enable"',
                 f'ssl.pemfile = "{args.cert}"', f'ssl.privkey = "{args.key}"']
    with open(f"{state}/lighttpd.conf", "w") as f:
        f.write("\n".join(conf) + "\n")
    if subprocess.run(["lighttpd", "-f", f"{state}/lighttpd.conf"]).returncode != 0:
        raise DevsimError(f"lighttpd did not start (see {state}/error.log)")
    _wait_listening(args.port)
    return 0


class _Faults:
    """What is left of each fault, shared by the connections."""

    def __init__(self, args):
        self.lock = threading.Lock()
        self.after = args.after
        self.left = {"cut": args.cuts if args.cut else 0,
                     "stall": args.stalls if args.stall else 0}
        self.no_range = args.no_range
        self.swap = args.swap.encode().split(b"=", 1) if args.swap else None
        self.rate = args.rate

    def take(self):
        """The fault for the next stream answer ("cut", "stall"), or None."""
        with self.lock:
            for kind, n in self.left.items():
                if n > 0:
                    self.left[kind] = n - 1
                    return kind
        return None


def _relay(client, port, faults):
    try:
        _relay_one(client, port, faults)
    except OSError:
        pass  # the client went away (it was cut, or gave up on a stall)


def _relay_one(client, port, faults):
    with client, socket.create_connection((LOOPBACK, port)) as server:
        head = b""
        while b"\r\n\r\n" not in head:
            data = client.recv(65536)
            if not data:
                return
            head += data
        lines = head.split(b"\r\n\r\n", 1)[0].split(b"\r\n")
        ranges = [x for x in lines if x.lower().startswith(b"range:")]
        # Only a stream is faulted: a request from byte 0 or one resuming ("bytes=N-"), never
        # the header's closed range.
        stream = not ranges or ranges[0].rstrip().endswith(b"-")
        keep = [x for x in lines[1:] if not x.lower().startswith(b"connection:")
                and not (faults.no_range and x in ranges)]
        first = lines[0]
        if stream and faults.swap:
            first = first.replace(b" " + faults.swap[0] + b" ", b" " + faults.swap[1] + b" ")
        server.sendall(b"\r\n".join([first, *keep, b"Connection: close"]) + b"\r\n\r\n")
        fault = faults.take() if stream else None
        sent = 0
        started = time.monotonic()
        while True:
            data = server.recv(16384)
            if not data:
                return
            if faults.rate:
                time.sleep(max(0.0, started + sent / faults.rate - time.monotonic()))
            if fault and sent + len(data) >= faults.after:
                client.sendall(data[:faults.after - sent])
                if fault == "stall":  # no further byte, the connection left open
                    while client.recv(65536):
                        pass
                return
            client.sendall(data)
            sent += len(data)


def proxy_main(argv):
    """devsim proxy PORT TARGET_PORT [--after BYTES] [--cut] [--cuts N] [--stall] [--stalls N]
    [--no-range] [--swap FROM=TO] [--rate BYTES]: a proxy on 127.0.0.1:PORT to the server on
    TARGET_PORT. The first N answers to stream requests (from byte 0, or "Range: bytes=N-") are
    cut, or stalled, after BYTES bytes of the answer; --no-range drops the requests' Range
    headers; --swap serves another file to stream requests; --rate paces every answer. Runs in
    the background once it listens."""
    p = argparse.ArgumentParser(prog="devsim proxy")
    p.add_argument("port", type=int)
    p.add_argument("target", type=int)
    p.add_argument("--after", type=int, default=1 << 20)
    p.add_argument("--cut", action="store_true")
    p.add_argument("--cuts", type=int, default=1)
    p.add_argument("--stall", action="store_true")
    p.add_argument("--stalls", type=int, default=1)
    p.add_argument("--no-range", action="store_true")
    p.add_argument("--swap", help="FROM=TO: stream requests for the path FROM get TO")
    p.add_argument("--rate", type=int, default=0, help="bytes per second of every answer")
    args = p.parse_args(argv)
    listener = socket.create_server((LOOPBACK, args.port))
    if os.fork() != 0:
        return 0
    os.setsid()
    faults = _Faults(args)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=_relay, args=(client, args.target, faults), daemon=True).start()
