"""The boot loader's part of a boot: its boot counting, the alternative boot command of a
trial that failed, and the boot map it hands to the kernel.

While "upgrade_available" is 1 every boot increments "bootcount" and saves the environment;
when "bootcount" exceeds a positive "bootlimit" the boot runs "altbootcmd" instead of the
normal boot. Scripts are commands separated by ";": "setenv NAME [VALUE...]" (no value deletes
NAME), "saveenv", "run NAME" (the script held by NAME; "run bootcmd" without a "bootcmd" is the
normal boot), and "boot"; "${NAME}" is replaced by NAME's value as each command runs. The boot
goes on once the script ends, whether it said "boot" or not.
"""

import re

from devsimlib.bootenv import set_entry
from devsimlib.errors import DevsimError

_VARIABLE = re.compile(r"\$\{([^}]*)\}")
_MAX_DEPTH = 8


def _number(text):
    """A value as the boot loader reads a decimal number: its leading digits, else 0."""
    m = re.match(r"\d+", text or "")
    return int(m.group()) if m else 0


class BootLoader:
    """One pass over a valid environment's entries; save(entries) stores them (saveenv)."""

    def __init__(self, entries, save):
        self.entries = list(entries)
        self.save = save

    def get(self, key):
        return next((v for k, v in self.entries if k == key), None)

    def boot(self):
        """Counts the boot, runs altbootcmd when the limit is exceeded; the "bmap" to boot."""
        count = 1
        if self.get("upgrade_available") == "1":
            count = _number(self.get("bootcount")) + 1
            self.entries = set_entry(self.entries, "bootcount", str(count))
            self.save(self.entries)
        limit = _number(self.get("bootlimit"))
        if limit and count > limit:
            self.run(self.get("altbootcmd") or "")
        return self.get("bmap")

    def run(self, script, depth=0):
        """Runs a script; True once it booted."""
        for command in script.split(";"):
            words = _VARIABLE.sub(lambda m: self.get(m.group(1)) or "", command).split()
            name, args = (words[0], words[1:]) if words else ("", [])
            if name == "setenv" and args:
                self.entries = set_entry(self.entries, args[0], " ".join(args[1:]))
            elif name == "saveenv":
                self.save(self.entries)
            elif name == "boot" or (name == "run" and args == ["bootcmd"]
                                    and self.get("bootcmd") is None):
                return True
            elif name == "run" and len(args) == 1 and depth < _MAX_DEPTH:
                if self.run(self.get(args[0]) or "", depth + 1):
                    return True
            elif name:
                raise DevsimError(f"boot loader: cannot run {command.strip()!r}")
        return False
