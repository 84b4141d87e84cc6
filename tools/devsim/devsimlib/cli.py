"""The devsim command line."""

import os
import shutil
import signal
import sys

from devsimlib.device import Device
from devsimlib.errors import DevsimError
from devsimlib.http import http_main, proxy_main
from devsimlib.init import init_main
from devsimlib.janitor import janitor_main
from devsimlib.layout import DEFAULT_HW, Layout
from devsimlib.service import send_main, service_main
from devsimlib.strace import Injection


USAGE = """usage:
  devsim run   [DEVICE OPTIONS] [--timeout S] -- COMMAND...   one-shot: create, boot once, remove
  devsim shell [DEVICE OPTIONS]                              interactive shell in a one-shot device
  devsim create DIR [DEVICE OPTIONS]      persistent device in DIR
  devsim boot DIR [--timeout S] -- COMMAND...   one boot of the persistent device in DIR
  devsim trace DIR [--path P]... -- COMMAND...  one boot under strace; lists the calls
                                          that change a disk (the boundaries, CALL:J)
  devsim cut DIR --at CALL:J [--error ERRNO | --retval N] [--path P]... -- COMMAND...
                                          one boot, power cut at the J-th CALL of a
                                          process (or ERRNO or N returned by it, unmade)
  devsim shell --dir DIR                  interactive shell in the persistent device
  devsim put DIR [--put ...] [--put-dir ...] [--put-ext4 ...] [--zero REGION#I]
  devsim bootenv DIR [--clear] [--set K=V]... [--corrupt]
                                          print (or change) the boot environment
  devsim cmdline DIR [--cmdline-set K=V]...   print (or change) the next kernel command line
  devsim calls DIR                        print the recorded stub calls
  devsim layout [--layout FILE]           print a layout with partition offsets
  devsim destroy DIR                      remove a persistent device

Inside the device (on PATH there):
  devsim service NAME -- COMMAND...       init stand-in: /dev/socket/NAME for COMMAND
  devsim send SOCKET REQUEST...           framed requests on a socket, prints the replies
  devsim http DIR [--port P] [--cert PEM --key PEM]   lighttpd serving DIR on 127.0.0.1:P
  devsim proxy PORT TARGET [--after B] [--cut] [--cuts N] [--stall] [--stalls N] [--no-range]
               [--swap FROM=TO] [--rate B]  a proxy to TARGET that cuts, stalls, swaps, paces

DEVICE OPTIONS:
  --layout FILE       JSON layout (default: the zt4100 board)
  --hw TAG            hardware tag (default zt4100.1.0); --no-hw leaves vorn.hw out
  --cmdline-set K=V   change a kernel command-line key (K= removes it, K adds a bare token)
  --env K=V           initial boot environment entry (repeatable); --corrupt-env bad CRC
  --put REGION#I=FILE       raw bytes of FILE at the start of a copy
  --put-dir REGION#I=DIR    ext4 file system built from DIR into a copy
  --put-ext4 REGION#I=IMG   ready-made ext4 image into a copy
  --etc NAME=FILE           FILE as /etc/NAME of the device (NAME= removes it)
  --netif NAME[=MAC]  dummy interface at every boot (repeatable)
  --meminfo FILE      bound over /proc/meminfo
  --watchdog          a fake /dev/watchdog
  --format-ext4       an empty ext4 file system in every ext4 copy
"""


ACTIONS = ("run", "shell", "create", "boot", "trace", "cut", "put", "bootenv", "cmdline", "calls",
           "layout", "destroy")


def _parse_args(argv):
    import argparse

    p = argparse.ArgumentParser(prog="devsim", usage=USAGE, add_help=False)
    p.add_argument("action", nargs="?")
    p.add_argument("dir", nargs="?")
    p.add_argument("-h", "--help", action="store_true")
    p.add_argument("--dir", dest="dir_opt")
    p.add_argument("--layout")
    p.add_argument("--hw", default=DEFAULT_HW)
    p.add_argument("--no-hw", action="store_true")
    p.add_argument("--cmdline-set", action="append", default=[])
    p.add_argument("--env", action="append", default=[])
    p.add_argument("--corrupt-env", action="store_true")
    p.add_argument("--put", action="append", default=[])
    p.add_argument("--put-dir", action="append", default=[])
    p.add_argument("--put-ext4", action="append", default=[])
    p.add_argument("--etc", action="append", default=[])
    p.add_argument("--zero", action="append", default=[])
    p.add_argument("--netif", action="append", default=[])
    p.add_argument("--meminfo")
    p.add_argument("--watchdog", action="store_true")
    p.add_argument("--format-ext4", action="store_true")
    p.add_argument("--timeout", type=float)
    p.add_argument("--set", action="append", default=[])
    p.add_argument("--corrupt", action="store_true")
    p.add_argument("--clear", action="store_true")
    p.add_argument("--path", action="append", default=[])
    p.add_argument("--at")
    p.add_argument("--error")
    p.add_argument("--retval", type=int)
    if "--" in argv:
        at = argv.index("--")
        argv, command = argv[:at], argv[at + 1:]
    else:
        command = []
    args = p.parse_args(argv)
    args.command = command
    return args


def _pairs(items, what):
    out = []
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key:
            raise DevsimError(f"{what} wants KEY=VALUE, got {item!r}")
        out.append((key, value))
    return out


def _cmdline_changes(items):
    """--cmdline-set items: K=V sets, K= removes, K alone adds a bare token."""
    changes = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not key:
            raise DevsimError(f"--cmdline-set wants K=V, K= or K, got {item!r}")
        changes[key] = value if value else (None if sep else True)
    return changes


def _copy_ref(text):
    region, sep, index = text.partition("#")
    if not sep or not index.isdigit():
        raise DevsimError(f"a copy is REGION#INDEX, got {text!r}")
    return region, int(index)


def _device_from_args(args, state_dir=None):
    meminfo = None
    if args.meminfo:
        with open(args.meminfo) as f:
            meminfo = f.read()
    changes = _cmdline_changes(args.cmdline_set)
    return Device(layout=args.layout, env=_pairs(args.env, "--env"),
                  hw=None if args.no_hw else args.hw, cmdline=changes, netifs=args.netif,
                  meminfo=meminfo, watchdog=args.watchdog, bootenv_corrupt=args.corrupt_env,
                  state_dir=state_dir, format_ext4=args.format_ext4)


def _apply_puts(dev, args):
    for ref, path in _pairs(args.put, "--put"):
        dev.put_raw(*_copy_ref(ref), path)
    for ref, path in _pairs(args.put_dir, "--put-dir"):
        dev.put_ext4_dir(*_copy_ref(ref), path)
    for ref, path in _pairs(args.put_ext4, "--put-ext4"):
        dev.put_ext4_image(*_copy_ref(ref), path)
    for ref in args.zero:
        dev.zero_copy(*_copy_ref(ref))
    for name, path in _pairs(args.etc, "--etc"):
        if not path:
            dev.put_etc(name, None)
            continue
        with open(path, "rb") as f:
            dev.put_etc(name, f.read())


def _report(result, dev):
    sys.stderr.write(f"devsim: boot ended by {result.ending}\n")
    if result.rebooted:
        sys.stderr.write(f"devsim: next kernel command line: {dev.cmdline()}\n")
    if result.returncode is None:
        return 0 if result.rebooted or result.powered_off else 124
    return result.returncode if result.returncode >= 0 else 128 - result.returncode


def _traced(dev, args):
    """devsim trace and devsim cut: one boot under strace, then what it did to the disks."""
    if args.action == "cut" and not args.at:
        raise DevsimError("devsim cut needs --at CALL:J (devsim trace lists them)")
    inject = (Injection.parse(args.at, args.error, args.retval) if args.action == "cut"
              else None)
    result = dev.run_traced(args.command, inject=inject, paths=args.path,
                            timeout=args.timeout)
    sys.stdout.buffer.write(result.stdout_bytes)
    sys.stdout.flush()
    sys.stderr.buffer.write(result.stderr_bytes)
    for b in result.trace.boundaries:
        sys.stderr.write(f"devsim: boundary {b.index + 1} {b.call.name}:{b.nth} "
                         f"(process {b.process + 1}) {b.call.line}\n")
    if inject is None or not inject.cut:
        for c in result.trace.injected:
            sys.stderr.write(f"devsim: {inject} injected: {c.line}\n")
        return _report(result, dev)
    if result.cut is None:
        sys.stderr.write(f"devsim: no call {inject} was made: no cut\n")
        return _report(result, dev)
    sys.stderr.write(f"devsim: power cut before: {result.cut.line}\n"
                     f"devsim: next kernel command line: {dev.cmdline()}\n")
    return 0


def _interactive(dev, command, timeout, shell=False):
    """One boot on this terminal. A shell gets the terminal's ^C for itself; for a command,
    ^C (or SIGTERM) to devsim ends the boot and removes the device."""
    old = signal.signal(signal.SIGINT, signal.SIG_IGN) if shell else None
    try:
        return dev.run(command, timeout=timeout, capture=False)
    finally:
        if shell:
            signal.signal(signal.SIGINT, old)


def _shell_command():
    return ["bash", "-i"] if shutil.which("bash") else ["sh", "-i"]


def _existing(args):
    d = args.dir or args.dir_opt
    if not d or not os.path.exists(os.path.join(d, "device.json")):
        raise DevsimError(f"no device in {d!r} (make one with: devsim create DIR)")
    return Device(state_dir=d)


def cli_main(argv):
    args = _parse_args(argv)
    action = args.action
    if args.help or action in (None, "help"):
        sys.stdout.write(USAGE)
        return 0 if args.help or action == "help" else 2
    if action not in ACTIONS:
        raise DevsimError(f"unknown action {action!r} (devsim help lists them)")
    if action in ("run", "boot", "trace", "cut") and not args.command:
        raise DevsimError(f"devsim {action} needs -- COMMAND...")
    if action == "run":
        with _device_from_args(args) as dev:
            _apply_puts(dev, args)
            result = _interactive(dev, args.command, args.timeout)
            return _report(result, dev)
    if action == "shell":
        if args.dir or args.dir_opt:
            dev = _existing(args)
        else:
            dev = _device_from_args(args)
        with dev:
            _apply_puts(dev, args)
            sys.stderr.write(f"devsim: kernel command line: {dev.cmdline()}\n")
            result = _interactive(dev, args.command or _shell_command(), args.timeout, True)
            return _report(result, dev)
    if action == "create":
        if not args.dir:
            raise DevsimError("devsim create needs DIR")
        if os.path.exists(os.path.join(args.dir, "device.json")):
            raise DevsimError(f"{args.dir} already holds a device")
        with _device_from_args(args, state_dir=args.dir) as dev:
            _apply_puts(dev, args)
            print(dev.cmdline())
        return 0
    if action == "layout":
        layout = Layout(args.layout)
        for disk in layout.disks.values():
            print(f"{disk.name}: {disk.size} bytes")
            for p in disk.partitions.values():
                print(f"  {disk.name}p{p.number}: offset {p.offset:#x} size {p.size:#x}")
        for name, copies in layout.regions.items():
            print(f"{name}: " + " ".join(f"#{c.index}={c.disk}p{c.number}({c.fs})"
                                         for c in copies))
        return 0
    with _existing(args) as dev:
        if action == "boot":
            return _report(_interactive(dev, args.command, args.timeout), dev)
        if action in ("trace", "cut"):
            return _traced(dev, args)
        if action == "put":
            _apply_puts(dev, args)
            return 0
        if action == "bootenv":
            if args.clear:
                dev.set_bootenv([])
            for key, value in _pairs(args.set, "--set"):
                dev.bootenv_set(key, value)
            if args.corrupt:
                dev.set_bootenv(dev.bootenv().entries, corrupt=True)
            env = dev.bootenv()
            print(f"crc {'ok' if env.valid else 'BAD'} "
                  f"(stored {env.stored_crc:08x}, computed {env.computed_crc:08x})"
                  + (f" copy {env.copy} serial {env.flags}" if env.flags is not None else ""))
            for k, v in env.entries:
                print(k if v is None else f"{k}={v}")
            return 0
        if action == "cmdline":
            changes = _cmdline_changes(args.cmdline_set)
            if changes:
                dev.set_cmdline(None, **changes)
            print(dev.cmdline())
            return 0
        if action == "calls":
            for line in dev.calls():
                print(line)
            return 0
        if action == "destroy":
            dev.destroy()
            return 0
    raise DevsimError(f"unknown action {action!r}\n{USAGE}")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["_init"]:
        return init_main(argv[1])
    if argv[:1] == ["_janitor"]:
        return janitor_main(argv[1])
    try:
        if argv[:1] == ["service"]:
            return service_main(argv[1:])
        if argv[:1] == ["send"]:
            return send_main(argv[1:])
        helpers = {"http": http_main, "proxy": proxy_main}
        if argv[:1] and argv[0] in helpers:
            return helpers[argv[0]](argv[1:])
    except (DevsimError, OSError) as e:
        sys.stderr.write(f"devsim: {e}\n")
        return 2

    def stop(signum, _frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, stop)
    try:
        return cli_main(argv)
    except DevsimError as e:
        sys.stderr.write(f"devsim: {e}\n")
        return 2
    except KeyboardInterrupt:
        sys.stderr.write("devsim: interrupted\n")
        return 130
    except BrokenPipeError:
        # A reader such as head went away: not an error of devsim.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
