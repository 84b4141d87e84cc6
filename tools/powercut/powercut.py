"""Power-cut and I/O-error sweeps of one vorn command in the simulated device.

A Case is a prepared device, a command, and what the command must leave behind. sweep(case)
runs the command once, traced, to find its boundaries (the system calls that change a disk)
and to check the order of its writes and syncs; then, on a fresh copy of the prepared device
each time, it cuts the power at every boundary in turn, and injects every I/O error at every
boundary, and checks what the device holds afterwards:

- the boot environment block is valid (its CRC-32 checked with Python's zlib) and holds
  exactly the entries from before the command or exactly those expected after it;
- every copy the command does not target is byte for byte as before (hashes);
- the images the next boot selects verify (the case's image check);
- after a power cycle, the same command succeeds and leaves what a clean run leaves.

An injected error must also make the command fail (non-zero exit, and the case's message);
an error before the first write of the boot environment block must leave it as it was.
"""

import hashlib
import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "devsim"))
import devsim  # noqa: E402
from devsimlib.strace import DATA_CALLS  # noqa: E402

BLOCK_NODE = "/dev/block/mmcblk0"
SYNC_CALLS = ("fsync", "fdatasync")
# Errors tried at data writes, and at the other boundaries (syncs, mounts, discards).
DATA_ERRORS = ("EIO", "ENOSPC")
OTHER_ERRORS = ("EIO",)


class Case:
    """One command to sweep.

    name        what the report calls it
    command     argv run in the device (the product's path included)
    new_env     fn(dev) -> the boot environment entries a successful run leaves on dev as it
                is now ((key, value) pairs in block order)
    device      keyword arguments of devsim.Device for the prepared device
    setup       fn(dev) that finishes the prepared device (images into copies), or None
    targets     copies the command may change, (region, index) pairs; all others must stay
    check_images  fn(dev, state) -> problems of the copies the next boot selects, where state
                is "old" or "new" (what the boot environment holds), or None
    error_message  regex the output of a run that got an I/O error must match, or None
    paths       more device paths to trace (the product's mount point)
    """

    def __init__(self, name, command, new_env, device=None, setup=None, targets=(),
                 check_images=None, error_message=None, paths=(), timeout=60):
        self.name, self.command, self.new_env = name, list(command), new_env
        self.device, self.setup, self.targets = dict(device or {}), setup, set(targets)
        self.check_images, self.error_message = check_images, error_message
        self.paths, self.timeout = list(paths), timeout


class Report:
    """Figures and failures of one sweep."""

    def __init__(self, name):
        self.name = name
        self.boundaries = 0
        self.cuts = self.cuts_survived = 0
        self.errors = self.errors_survived = 0
        self.failures = []
        self.seconds = 0.0

    def summary(self):
        return (f"{self.name}: {self.boundaries} boundaries, {self.cuts_survived}/{self.cuts} "
                f"cuts survived, {self.errors_survived}/{self.errors} injected errors handled, "
                f"{len(self.failures)} failures, {self.seconds:.1f} s")


def block_write(call):
    """True for a data write that overlaps the boot environment block."""
    return (call.name in DATA_CALLS and call.path == BLOCK_NODE and bool(call.length)
            and call.offset is not None
            and call.offset < devsim.BOOTENV_OFFSET + devsim.BOOTENV_SIZE
            and call.offset + call.length > devsim.BOOTENV_OFFSET)


def ordering_problems(trace):
    """What a real eMMC could lose at a power cut, from the trace of a clean run: every copy
    written must be synced (fsync or fdatasync of its node returning 0) before the first write
    of the boot environment block and not written after it, and the block's own write must
    be synced before the command ends."""
    problems = []
    unsynced = {}  # node -> its first write since its last successful sync
    block_seen = False
    for c in trace.calls:
        if c.name in DATA_CALLS and c.length:
            if c.offset is None and c.path == BLOCK_NODE:
                problems.append(f"write at an unknown offset of {c.path}: {c.line}")
            is_block = block_write(c)
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
    if block_seen and BLOCK_NODE in unsynced:
        problems.append(f"boot environment write not synced before the end: "
                        f"{unsynced[BLOCK_NODE].line}")
    return problems


def _copy_hashes(dev, skip):
    return {(region, c.index): hashlib.sha256(dev.read_copy(region, c.index)).hexdigest()
            for region, copies in dev.layout.regions.items() for c in copies
            if (region, c.index) not in skip}


class _Before:
    """What the prepared device holds before the command."""

    def __init__(self, case, dev):
        env = dev.bootenv()
        if not env.valid:
            raise devsim.DevsimError(f"{case.name}: the prepared boot environment is invalid")
        self.entries = env.entries
        self.new_entries = list(case.new_env(dev))
        self.hashes = _copy_hashes(dev, case.targets)


def _after(case, dev, before, allowed):
    """Problems of the device after a cut or an error (the power cycle done), then of a
    rerun of the command from there."""
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
    if problems:
        return problems
    expected = list(case.new_env(dev))
    r = dev.run(case.command, timeout=case.timeout)
    if r.returncode != 0 and not r.rebooted:
        return [f"rerun failed ({r.ending}): {r.stdout[-300:]!r}"]
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
    later = trace.boundaries[got.index + 1:] if cut else []
    return [f"the cut was not total: {x} ran on" for x in later]


def _cut_at(case, base, before, b):
    """Problems after the power was cut before boundary b."""
    with base.clone() as dev:
        r = dev.power_cut(case.command, b, paths=case.paths, timeout=case.timeout)
        return (_landing(b, r.trace, r.cut, cut=True)
                or _after(case, dev, before, ("old", "new")))


def _error_at(case, base, before, b, error, block_written):
    """Problems after boundary b returned error; block_written: the boot environment block
    was written before b in the clean run."""
    with base.clone() as dev:
        r = dev.inject_error(case.command, b, error, paths=case.paths, timeout=case.timeout)
        injected = r.trace.injected
        problems = _landing(b, r.trace, injected[0] if len(injected) == 1 else None)
        if problems:
            return problems
        if r.returncode == 0 or r.rebooted:
            return [f"the command succeeded ({r.ending})"]
        output = r.stdout + r.stderr
        if case.error_message and not re.search(case.error_message, output):
            return [f"no message naming the failure: {output[-300:]!r}"]
        dev.boot_loader()
        return _after(case, dev, before, ("old", "new") if block_written else ("old",))


def sweep(case, progress=None):
    """Runs the whole sweep of a case; a Report. progress(text) hears of every try."""
    report = Report(case.name)
    start = time.monotonic()
    with devsim.Device(**case.device) as base:
        if case.setup is not None:
            case.setup(base)
        before = _Before(case, base)
        with base.clone() as dev:
            clean = dev.run_traced(case.command, paths=case.paths, timeout=case.timeout)
            env = dev.bootenv()
        if clean.returncode != 0 and not clean.rebooted:
            report.failures.append(f"clean run failed ({clean.ending}): {clean.stdout[-300:]!r}")
        elif env.entries != before.new_entries:
            report.failures.append(f"clean run left {env.entries}, "
                                   f"expected {before.new_entries}")
        report.failures += [f"order: {p}" for p in ordering_problems(clean.trace)]
        boundaries = clean.trace.boundaries
        report.boundaries = len(boundaries)
        first_block = next((b.index for b in boundaries if block_write(b.call)), len(boundaries))
        for b in boundaries:
            problems = _cut_at(case, base, before, b)
            report.cuts += 1
            report.cuts_survived += not problems
            report.failures += [f"cut before {b}: {p}" for p in problems]
            if progress:
                progress(f"cut before {b}: {'; '.join(problems) or 'ok'}")
        for b in boundaries:
            for error in DATA_ERRORS if b.call.name in DATA_CALLS else OTHER_ERRORS:
                problems = _error_at(case, base, before, b, error, b.index > first_block)
                report.errors += 1
                report.errors_survived += not problems
                report.failures += [f"{error} at {b}: {p}" for p in problems]
                if progress:
                    progress(f"{error} at {b}: {'; '.join(problems) or 'ok'}")
    report.seconds = time.monotonic() - start
    return report
