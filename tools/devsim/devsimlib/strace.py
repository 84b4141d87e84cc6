"""Power cuts and I/O errors at the system calls that change a disk, and their trace.

strace runs inside the boot with the command as its child, so the product runs unchanged.
Only calls that reach a disk of the device count: -P limits tracing, and with it strace's
injection counters, to the device's block nodes (by path or through a descriptor of one) and
to paths the caller adds (a mount point, for umount2). Writes to standard output, pipes or the
RAM file system under /dev are never boundaries.

strace counts injections per system call and per process, so a boundary is addressed as
"the J-th CALL of a process" (write:2, fdatasync:1). A cut delivers SIGKILL on entry to that
call: the call does not happen, nothing after it happens, and the boot ends with the command.
An injected error or result makes the call return it without being made: a write given its
own length as result is a write lost by the device; a smaller result, a short write whose
rest the product must write again (or report).
"""

import re

from devsimlib.errors import DevsimError


# System calls that can change what a disk holds when they reach one of its nodes.
DATA_CALLS = ("write", "pwrite64", "writev", "pwritev", "pwritev2")
SYNC_CALLS = ("fsync", "fdatasync", "sync_file_range", "syncfs")
OTHER_CALLS = ("ioctl", "fallocate", "ftruncate", "mount", "umount2")
BOUNDARY_CALLS = DATA_CALLS + SYNC_CALLS + OTHER_CALLS
# Traced as well, for the file offsets and open flags behind each write.
CONTEXT_CALLS = ("openat", "open", "lseek")
# ioctl requests that change a disk; the others (sizes, flags) are traced but no boundary.
DISK_IOCTLS = ("BLKDISCARD", "BLKSECDISCARD", "BLKZEROOUT", "BLKFLSBUF")

INJECT_ERRORS = ("EIO", "ENOSPC", "EROFS", "EDQUOT", "ENOMEM")

_LINE = re.compile(r"^(\d+)\s+(.*)$")
_CALL = re.compile(r"^([a-z0-9_]+)\((.*)\)\s+= (.*)$")
_UNFINISHED = " <unfinished ...>"
_RESUMED = re.compile(r"^<\.\.\. ([a-z0-9_]+) resumed>(.*)$")
_RESULT = re.compile(r"^(-?\d+|0x[0-9a-f]+|\?)(?: ([A-Z][A-Z0-9_]*))?.*?( \(INJECTED\))?$")
_FD = re.compile(r"^(-?\d+)<(.*)>$")
_EXIT = re.compile(r"^\+\+\+ (exited with (\d+)|killed by (SIG[A-Z0-9]+).*) \+\+\+$")


class Injection:
    """What to do at the nth call of one system call: cut the power (error and retval None),
    return an error number such as "EIO", or return retval (a count for a data call), in both
    cases without making the call."""

    def __init__(self, call, nth, error=None, retval=None):
        if call not in BOUNDARY_CALLS:
            raise DevsimError(f"{call!r} is not a call that changes a disk")
        if int(nth) < 1:
            raise DevsimError("the count of a call starts at 1")
        if error is not None and error not in INJECT_ERRORS:
            raise DevsimError(f"error {error!r} is not one of {', '.join(INJECT_ERRORS)}")
        if retval is not None and (error is not None or int(retval) < 0):
            raise DevsimError("a result is a count of 0 or more, given instead of an error")
        self.call, self.nth, self.error = call, int(nth), error
        self.retval = None if retval is None else int(retval)

    @classmethod
    def parse(cls, text, error=None, retval=None):
        """From "CALL:J" (write:2)."""
        call, sep, nth = text.partition(":")
        if not sep or not nth.isdigit():
            raise DevsimError(f"a boundary is CALL:J (write:2), got {text!r}")
        return cls(call, int(nth), error, retval)

    @property
    def cut(self):
        return self.error is None and self.retval is None

    def strace_expr(self):
        action = (f"error={self.error}" if self.error else
                  f"retval={self.retval}" if self.retval is not None else "signal=KILL")
        return f"inject={self.call}:{action}:when={self.nth}"

    def __repr__(self):
        made = self.error or ("" if self.retval is None else f"{self.retval}")
        return f"{self.call}:{self.nth}" + (f"={made}" if made else "")


def as_injection(at, error=None, retval=None):
    """An Injection from an Injection, a Boundary or "CALL:J", with error or retval (neither:
    a cut)."""
    if isinstance(at, str):
        return Injection.parse(at, error, retval)
    if isinstance(at, Injection):
        return Injection(at.call, at.nth, error, retval)
    return at.injection(error, retval)


def strace_argv(trace_file, paths, injection=None):
    """The strace command line that runs a command traced (and cut) inside a boot."""
    argv = ["strace", "-f", "-q", "-y", "-s", "24", "-o", trace_file,
            "-e", "trace=" + ",".join(BOUNDARY_CALLS + CONTEXT_CALLS)]
    for path in paths:
        argv += ["-P", path]
    if injection is not None:
        argv += ["-e", injection.strace_expr()]
    return argv + ["--"]


def split_args(text):
    """strace's argument text split at its top-level commas (not inside quotes or brackets)."""
    out, depth, quoted, escaped, start = [], 0, False, False, 0
    for i, ch in enumerate(text):
        if quoted:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                quoted = False
        elif ch == '"':
            quoted = True
        elif ch in "[{(":
            depth += 1
        elif ch in "]})":
            depth -= 1
        elif ch == "," and depth == 0:
            out.append(text[start:i].strip())
            start = i + 1
    if text.strip():
        out.append(text[start:].strip())
    return out


def _unquote(arg):
    if not arg.startswith('"'):
        return None
    end = arg.rfind('"')
    return arg[1:end if end > 0 else None].encode().decode("unicode_escape")


def _offset_arg(call):
    """The file offset of a positioned write (pwrite64's last argument, pwritev's fourth)."""
    at = -1 if call.name == "pwrite64" else 3
    try:
        return int(call.args[at], 0)
    except (IndexError, ValueError):
        return None


class Call:
    """One traced system call.

    pid, name, args (argument texts), result (int; None when the call did not return),
    errno ("EIO" or None), injected (strace made the result up), killed (the process was cut
    at this call), path (the node or file it reached), fd, offset and length (data calls that
    wrote something), sync_open (its descriptor was opened with O_SYNC or O_DSYNC), line.
    """

    def __init__(self, pid, name, args, result, errno, injected, line):
        self.pid, self.name, self.args, self.line = pid, name, args, line
        self.result, self.errno, self.injected = result, errno, injected
        self.killed = False
        self.fd = None
        self.path = None
        self.offset = self.length = None
        self.sync_open = False
        first = args[0] if args else ""
        m = _FD.match(first)
        if m and name not in ("openat", "open"):
            self.fd, self.path = int(m.group(1)), m.group(2)
        else:
            self.path = next((p for p in map(_unquote, args) if p and p.startswith("/")), None)

    @property
    def boundary(self):
        """A call that can change a disk (ioctls only with a request that does)."""
        if self.name == "ioctl":
            return len(self.args) > 1 and self.args[1] in DISK_IOCTLS
        return self.name in BOUNDARY_CALLS

    @property
    def ok(self):
        return self.result is not None and self.result >= 0 and self.errno is None

    def __repr__(self):
        return f"{self.pid} {self.line}"


class Boundary:
    """A boundary of a traced run: its place among all boundaries (index, from 0), the
    call, and how an injection reaches it (Injection call:nth within its process)."""

    def __init__(self, index, call, nth, process):
        self.index, self.call, self.nth, self.process = index, call, nth, process

    def injection(self, error=None, retval=None):
        return Injection(self.call.name, self.nth, error, retval)

    def __repr__(self):
        return f"#{self.index + 1} {self.call.name}:{self.nth} {self.call.line}"


class Trace:
    """A parsed strace log: calls in order, how each process ended, the boundaries."""

    def __init__(self, text):
        self.text = text
        self.calls = []
        self.exits = {}      # pid -> exit status, or the signal name that ended it
        pending = {}
        for raw in text.splitlines():
            m = _LINE.match(raw)
            if not m:
                continue
            pid, rest = int(m.group(1)), m.group(2)
            if rest.endswith(_UNFINISHED):
                pending[pid] = rest[:-len(_UNFINISHED)]
                continue
            resumed = _RESUMED.match(rest)
            if resumed:
                rest = pending.pop(pid, resumed.group(1) + "(") + resumed.group(2)
            ended = _EXIT.match(rest)
            if ended:
                self.exits[pid] = int(ended.group(2)) if ended.group(2) else ended.group(3)
                if ended.group(3) == "SIGKILL":
                    last = next((c for c in reversed(self.calls) if c.pid == pid), None)
                    if last is not None and last.result is None:
                        last.killed = True
                continue
            self._add(pid, rest)
        for pid, rest in pending.items():  # cut while the call was unfinished
            self._add(pid, rest + ") = ?")
            if self.exits.get(pid) == "SIGKILL":
                self.calls[-1].killed = True
        self._place_writes()

    def _add(self, pid, text):
        m = _CALL.match(text)
        if not m:
            return
        r = _RESULT.match(m.group(3))
        result = None if not r or r.group(1) == "?" else int(r.group(1), 0)
        self.calls.append(Call(pid, m.group(1), split_args(m.group(2)), result,
                               r.group(2) if r and result == -1 else None,
                               bool(r and r.group(3)), text))

    def _place_writes(self):
        """Offsets of data writes, from the opens and seeks before them (per process)."""
        pos, sync = {}, {}
        for c in self.calls:
            if c.name in ("openat", "open") and c.ok:
                key = (c.pid, c.result)
                pos[key] = 0
                sync[key] = bool(re.search(r"\bO_(D?SYNC)\b", " ".join(c.args)))
            elif c.fd is None:
                continue
            key = (c.pid, c.fd)
            if c.name == "lseek" and c.ok:
                pos[key] = c.result
            elif c.name in DATA_CALLS:
                c.sync_open = sync.get(key, False)
                explicit = c.name.startswith("pwrite")
                c.offset = _offset_arg(c) if explicit else pos.get(key)
                if c.ok and c.result > 0:
                    c.length = c.result
                    if not explicit and key in pos:
                        pos[key] += c.result

    @property
    def boundaries(self):
        """Every boundary in order, with the per-process count strace injects by."""
        out, seen, ranks = [], {}, {}
        for c in self.calls:
            ranks.setdefault(c.pid, len(ranks))
            if c.name in BOUNDARY_CALLS:
                seen[(c.pid, c.name)] = seen.get((c.pid, c.name), 0) + 1
                if c.boundary:
                    out.append(Boundary(len(out), c, seen[(c.pid, c.name)], ranks[c.pid]))
        return out

    @property
    def cut(self):
        """The call at which the power was cut, or None."""
        return next((c for c in self.calls if c.killed), None)

    @property
    def injected(self):
        """The calls whose error or result strace made up."""
        return [c for c in self.calls if c.injected]

    def exit_status(self, pid=None):
        """How the command (or the given process) ended: its status, a signal name, or None."""
        if pid is None and self.exits:
            pid = min(self.exits)  # the command: the first process of a fresh namespace
        return self.exits.get(pid)
