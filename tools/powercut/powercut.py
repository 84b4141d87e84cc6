"""Power-cut and I/O-error sweeps of vorn commands in the simulated device.

A Case is a prepared device, its commands (one, or several run one after the other, each in
a boot of its own), and what they must leave behind. sweep(case) runs the commands once,
traced, to find their boundaries (the system calls that change a disk) and to check the
order of their writes and syncs; then, on a fresh copy of the device as it stood before that
command each time, it cuts the power at every boundary in turn, and injects every I/O error
at every boundary, and checks what the device holds afterwards:

- the boot environment block is valid (its CRC-32 checked with Python's zlib) and holds
  exactly the entries from before the commands or exactly those expected after them (of a
  redundant environment, the copy in effect);
- every copy the commands do not target is byte for byte as before (hashes);
- the images the next boot selects verify (the case's image check);
- after a power cycle, the same commands succeed and leave what a clean run leaves;
- after a cut in a command that others follow, those others, run anyway, leave a device that
  passes the checks above.

An injected error must also make the command fail (non-zero exit, and the case's message)
and leave the boot environment as it was; only an unmount may fail without failing the
command, and then the command must have done all of its work. A write that the device reports
done but never makes ("lost"), or makes only in part ("short": the first half of its bytes
never arrive, the rest is written again), counts as an error the command must find.

A case may also tear the writes of the boot environment: the power is cut before such a write,
then only its first k sectors (512 bytes) reach the medium, for every k, before the power
cycle; the same checks follow.
"""

import contextlib
import hashlib
import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "devsim"))
import devsim  # noqa: E402
from devsimlib.strace import DATA_CALLS  # noqa: E402

SECTOR = 512
# The boot environment without a configuration of its own: the single block on the eMMC.
DEFAULT_PLACES = [devsim.EnvPlace(devsim.BOOTENV_NODE, devsim.BOOTENV_OFFSET, "mmcblk0",
                                  devsim.BOOTENV_OFFSET, devsim.BOOTENV_SIZE)]
SYNC_CALLS = ("fsync", "fdatasync")
# Errors tried at data writes, and at the other boundaries (syncs, mounts, discards). "lost"
# and "short" are writes that report more than they did (see the module's text).
DATA_ERRORS = ("EIO", "ENOSPC", "lost", "short")
OTHER_ERRORS = ("EIO",)
# Calls whose failure a command may survive: a file system that cannot be unmounted was
# synced before (checked by the order of the clean run) and is detached instead.
SURVIVABLE = ("umount2",)


class Case:
    """One command to sweep.

    name        what the report calls it
    command     argv run in the device (the product's path included), or a list of argvs
                run one after the other, each in its own boot, each needing the one before
    new_env     fn(dev) -> the boot environment entries a successful run leaves on dev as it
                is now ((key, value) pairs in block order)
    device      keyword arguments of devsim.Device for the prepared device
    setup       fn(dev) that finishes the prepared device (images into copies), or None
    targets     copies the command may change, (region, index) pairs; all others must stay
    check_images  fn(dev, state) -> problems of the copies the next boot selects (the stored
                boot map applied, as the boot loader does), where state is "old" or "new"
                (what the boot environment holds), or None
    error_message  regex the output of a run that got an I/O error must match, or None
    unreported  fn(call) -> regexes the output must not match when that call failed (what
                would report as done the work it failed), or None
    paths       more device paths to trace (the product's mount point)
    torn        also tear every write of the boot environment after its first k sectors
    """

    def __init__(self, name, command, new_env, device=None, setup=None, targets=(),
                 check_images=None, error_message=None, unreported=None, paths=(),
                 timeout=60, torn=False):
        self.name, self.new_env = name, new_env
        command = list(command)
        self.commands = ([list(c) for c in command] if command and isinstance(command[0], list)
                         else [command])
        self.device, self.setup, self.targets = dict(device or {}), setup, set(targets)
        self.check_images, self.error_message = check_images, error_message
        self.unreported = unreported or (lambda call: [])
        self.paths, self.timeout, self.torn = list(paths), timeout, torn


class Report:
    """Figures and failures of one sweep."""

    def __init__(self, name):
        self.name = name
        self.boundaries = 0
        self.cuts = self.cuts_survived = 0
        self.errors = self.errors_survived = 0
        self.torn = self.torn_survived = 0
        self.failures = []
        self.seconds = 0.0

    def summary(self):
        return (f"{self.name}: {self.boundaries} boundaries, {self.cuts_survived}/{self.cuts} "
                f"cuts survived, {self.errors_survived}/{self.errors} injected errors handled, "
                f"{self.torn_survived}/{self.torn} torn writes survived, "
                f"{len(self.failures)} failures, {self.seconds:.1f} s")


def env_write(call, places):
    """The place (devsim.EnvPlace) of the boot environment a data write overlaps, or None."""
    if call.name not in DATA_CALLS or not call.length or call.offset is None:
        return None
    return next((p for p in places if call.path == p.node and call.offset < p.offset + p.size
                 and call.offset + call.length > p.offset), None)


def _mount_target(call):
    """(device, directory, read-only) of a mount call."""
    args = [a.strip('"') for a in call.args]
    return (args[0] if args else None, args[1] if len(args) > 1 else None,
            len(args) > 3 and "MS_RDONLY" in args[3])


def ordering_problems(trace, places=DEFAULT_PLACES):
    """What a real eMMC could lose at a power cut, from the trace of a clean run: every copy
    written must be synced (fsync or fdatasync of its node, or syncfs of a file system
    mounted from it, returning 0) before the first write of the boot environment block (at
    places) and not written after it, and the block's own write must be synced before the
    command ends.
    A read-write mount counts as a write of its device (the superblock, and whatever is
    written into the file system): an unmount writes back too, but tells nobody whether that
    write-back reached the medium, so only a sync counts."""
    problems = []
    nodes = {p.node for p in places}
    unsynced = {}  # node -> its first write since its last successful sync
    mounted = {}   # mount point -> node
    block_seen = False
    for c in trace.calls:
        if c.name == "mount" and c.ok:
            node, point, read_only = _mount_target(c)
            mounted[point] = node
            if read_only:
                continue
            c = _Written(c, node)
        elif c.name == "umount2" and c.ok:
            mounted.pop(c.path, None)
            continue
        elif c.name == "syncfs" and c.ok:
            unsynced.pop(mounted.get(c.path), None)
            continue
        if c.name in DATA_CALLS and c.length:
            if c.offset is None and c.path in nodes:
                problems.append(f"write at an unknown offset of {c.path}: {c.line}")
            is_block = env_write(c, places) is not None
            if is_block and not block_seen:
                block_seen = True
                problems += [f"{node} not synced before the first write of the boot "
                             f"environment: {w.line}" for node, w in unsynced.items()]
            elif block_seen and not is_block:
                problems.append(f"written after the boot environment: {c.line}")
            if not c.sync_open:
                unsynced.setdefault(c.path, c)
        elif c.name in SYNC_CALLS and c.ok:
            unsynced.pop(c.path, None)
    problems += [f"boot environment write not synced before the end: {unsynced[n].line}"
                 for n in sorted(nodes & set(unsynced)) if block_seen]
    return problems


class _Written:
    """A read-write mount seen as a write of unknown extent into its device."""

    name, length, offset, sync_open = "write", 1, 0, False

    def __init__(self, call, node):
        self.path, self.line = node, call.line


class _Run:
    """The calls of several traced commands, in order, for the ordering check."""

    def __init__(self, traces):
        self.calls = [c for t in traces for c in t.calls]


def _copy_hashes(dev, skip):
    return {(region, c.index): hashlib.sha256(dev.read_copy(region, c.index)).hexdigest()
            for region, copies in dev.layout.regions.items() for c in copies
            if (region, c.index) not in skip}


class _Before:
    """What the prepared device holds before the commands."""

    def __init__(self, case, dev):
        env = dev.bootenv()
        if not env.valid:
            raise devsim.DevsimError(f"{case.name}: the prepared boot environment is invalid")
        self.entries = env.entries
        self.new_entries = list(case.new_env(dev))
        self.hashes = _copy_hashes(dev, case.targets)


def _run_all(case, dev, commands):
    """Runs commands one boot each; problems of the first that fails."""
    for command in commands:
        r = dev.run(command, timeout=case.timeout)
        if r.returncode != 0 and not r.rebooted:
            return [f"{' '.join(command[1:2])} failed ({r.ending}): {r.stdout[-300:]!r}"]
    return []


def _state(case, dev, before, allowed):
    """Problems of what the device holds (the power cycle done): the block, the copies not
    targeted, and the images the next boot selects."""
    env = dev.bootenv()
    if not env.valid:
        return ["boot environment block invalid (CRC)"]
    state = {repr(before.entries): "old", repr(before.new_entries): "new"}.get(repr(env.entries))
    problems = []
    if state not in allowed:
        problems.append(f"boot environment is not the {' or '.join(allowed)} one: {env.entries}")
    changed = [f"{r}#{i}" for (r, i), h in _copy_hashes(dev, case.targets).items()
               if before.hashes[(r, i)] != h]
    if changed:
        problems.append(f"copies changed that the command does not target: {changed}")
    if case.check_images is not None and state is not None:
        problems += case.check_images(dev, state)
    return problems


def _after(case, dev, before, allowed):
    """Problems of the device after a cut or an error (the power cycle done), then of a
    rerun of the commands from there."""
    problems = _state(case, dev, before, allowed)
    if problems:
        return problems
    expected = list(case.new_env(dev))
    problems = _run_all(case, dev, case.commands)
    if problems:
        return ["rerun: " + p for p in problems]
    env = dev.bootenv()
    if not env.valid or env.entries != expected:
        return [f"rerun left {env.entries}, expected {expected}"]
    return case.check_images(dev, "new") if case.check_images is not None else []


def _landing(b, trace, call, cut=False):
    """Problems when an injection did not land on boundary b of the clean run, or when
    another process changed a disk after the power was cut."""
    if call is None:
        return ["the injection never fired"]
    got = next((x for x in trace.boundaries if x.call is call), None)
    if got is None or (got.index, got.call.name, got.call.path, got.process) != \
            (b.index, b.call.name, b.call.path, b.process):
        return [f"landed at {got}"]
    # Calls the cut killed on their way in did not run on: strace may show another thread of
    # the killed process entering the very call it was cut at, which never happens.
    later = [x for x in trace.boundaries[got.index + 1:] if not x.call.killed] if cut else []
    return [f"the cut was not total: {x} ran on" for x in later]


class _Point:
    """Boundary b of the command at position step, and the device as it was before it; for a
    write of the boot environment, torn: (disk, offset, the bytes it wrote)."""

    def __init__(self, step, b, base, torn=None):
        self.step, self.b, self.base, self.torn = step, b, base, torn

    def __repr__(self):
        return f"{self.b}" if self.step == 0 else f"command {self.step + 1} {self.b}"


def _go_on(case, dev, before, step):
    """Problems after the commands behind the one cut short ran anyway, as by someone who
    missed the cut ("upgrade.setup" after a cut "upgrade.install"): they may fail, but must
    leave the old images in effect or the new ones, whole."""
    for command in case.commands[step:]:
        r = dev.run(command, timeout=case.timeout)
        if r.returncode != 0 and not r.rebooted:
            break
    dev.boot_loader()
    return [f"then {' '.join(c[1] for c in case.commands[step:])}: {x}"
            for x in _state(case, dev, before, ("old", "new"))]


def _cut_at(case, before, p, sectors=0):
    """Problems after the power was cut before boundary p; with sectors, after the first
    sectors of the boot environment write at p reached the medium."""
    with p.base.clone() as dev:
        r = dev.power_cut(case.commands[p.step], p.b, paths=case.paths, timeout=case.timeout,
                          boot_loader=not sectors)
        problems = _landing(p.b, r.trace, r.cut, cut=True)
        if sectors:
            disk, offset, data = p.torn
            dev.write_device(disk, offset, data[:sectors * SECTOR])
            dev.boot_loader()
        if not problems and p.step + 1 < len(case.commands):
            with dev.clone() as later:
                problems = _go_on(case, later, before, p.step + 1)
        return problems or _after(case, dev, before, ("old", "new"))


def _error_at(case, before, p, error):
    """Problems after boundary p returned error. The command must fail and leave the boot
    environment as it was, or, at a call it may survive, do all of its work."""
    with p.base.clone() as dev:
        if error in ("lost", "short"):
            length = p.b.call.length or 0
            r = dev.inject_result(case.commands[p.step], p.b,
                                  length if error == "lost" else length // 2,
                                  paths=case.paths, timeout=case.timeout)
        else:
            r = dev.inject_error(case.commands[p.step], p.b, error, paths=case.paths,
                                 timeout=case.timeout)
        injected = r.trace.injected
        problems = _landing(p.b, r.trace, injected[0] if len(injected) == 1 else None)
        if problems:
            return problems
        if r.returncode == 0 or r.rebooted:
            if p.b.call.name not in SURVIVABLE:
                return [f"the command succeeded ({r.ending})"]
            problems = _run_all(case, dev, case.commands[p.step + 1:])
            allowed = ("new",)
        else:
            output = r.stdout + r.stderr
            if case.error_message and not re.search(case.error_message, output):
                return [f"no message naming the failure: {output[-300:]!r}"]
            problems = [f"reported as done: {m.group(0)!r}" for m in
                        (re.search(x, output) for x in case.unreported(p.b.call)) if m]
            allowed = ("old",)
        dev.boot_loader()
        return problems or _after(case, dev, before, allowed)


def _written(dev, trace, b, places):
    """For a write of the boot environment at boundary b: (disk, offset, the bytes written),
    read back from dev after the clean run; None for other boundaries. The range must not be
    written again later in the run, or its bytes there would be the later write's."""
    place = env_write(b.call, places)
    if place is None:
        return None
    start, end = b.call.offset, b.call.offset + b.call.length
    if any(c.path == b.call.path and c.offset is not None and c.length and
           c.offset < end and c.offset + c.length > start
           for c in trace.calls[trace.calls.index(b.call) + 1:] if c.name in DATA_CALLS):
        raise devsim.DevsimError(f"the range of {b} is written twice: cannot tear it")
    offset = place.disk_offset - place.offset + start
    return place.disk, offset, dev.read_device(place.disk, offset, b.call.length)


def _sample(points, places):
    """The error tries of a quicker sweep: the first boundary of each kind (command, call,
    node) and every boundary that reaches the node of the boot environment block."""
    seen, out = set(), []
    for p in points:
        kind = (p.step, p.b.call.name, p.b.call.path)
        if kind not in seen or p.b.call.path in {place.node for place in places}:
            seen.add(kind)
            out.append(p)
    return out


def sweep(case, progress=None, all_errors=True):
    """Runs the whole sweep of a case; a Report. progress(text) hears of every try. With
    all_errors false, errors are injected at a sample of the boundaries (see _sample)."""
    report = Report(case.name)
    start = time.monotonic()
    with contextlib.ExitStack() as stack:
        base = stack.enter_context(devsim.Device(**case.device))
        places = base.env_places()
        if case.setup is not None:
            case.setup(base)
        before = _Before(case, base)
        dev = stack.enter_context(base.clone())
        points, traces = [], []
        for step, command in enumerate(case.commands):
            start_state = stack.enter_context(dev.clone())
            clean = dev.run_traced(command, paths=case.paths, timeout=case.timeout)
            traces.append(clean.trace)
            if clean.returncode != 0 and not clean.rebooted:
                report.failures.append(f"clean run of command {step + 1} failed "
                                       f"({clean.ending}): {clean.stdout[-300:]!r}")
                break
            points += [_Point(step, b, start_state, _written(dev, clean.trace, b, places))
                       for b in clean.trace.boundaries]
        env = dev.bootenv()
        if not report.failures and env.entries != before.new_entries:
            report.failures.append(f"clean run left {env.entries}, "
                                   f"expected {before.new_entries}")
        report.failures += [f"order: {p}" for p in ordering_problems(_Run(traces), places)]
        report.boundaries = len(points)

        def tally(kind, what, problems):
            """Counts one try of a kind ("cuts", "torn", "errors") and its failures."""
            survived = f"{kind}_survived"
            setattr(report, kind, getattr(report, kind) + 1)
            setattr(report, survived, getattr(report, survived) + (not problems))
            report.failures += [f"{what}: {x}" for x in problems]
            if progress:
                progress(f"{what}: {'; '.join(problems) or 'ok'}")

        for p in points:
            tally("cuts", f"cut before {p}", _cut_at(case, before, p))
        for p in (points if case.torn else []):
            for k in range(1, len(p.torn[2]) // SECTOR if p.torn else 0):
                tally("torn", f"torn after {k} sectors at {p}", _cut_at(case, before, p, k))
        for p in points if all_errors else _sample(points, places):
            for error in DATA_ERRORS if p.b.call.name in DATA_CALLS else OTHER_ERRORS:
                tally("errors", f"{error} at {p}", _error_at(case, before, p, error))
    report.seconds = time.monotonic() - start
    return report
