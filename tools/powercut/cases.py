"""The commands swept for power cuts and I/O errors, by name."""

import atexit
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from powercut import Case, DATA_CALLS, SYNC_CALLS  # noqa: E402
import vif  # noqa: E402
from devsimlib.bootenv import set_entry  # noqa: E402
from devsimlib.cmdline import apply_bmap_value, cmdline_tokens  # noqa: E402
from devsimlib.layout import Layout  # noqa: E402

# A device's boot environment as it stands after some use: a stored boot map, settings, a
# user property. Every entry but the one a command changes must come through unchanged.
STORED_ENV = [
    ("bmap", "bmap_dev=sd:/dev/block/mmcblk1 "
             "bmap=boot:1%androidboot:2%androidboot,system:3:4,app:5:sd@6,recovery:7%androidboot "
             "bmap_seq=2:3:sd@6:7"),
    ("sys.eth.if", "eth0"),
    ("sys.eth.ip.mode", "static"),
    ("sys.eth.ip.addrs", "10.0.0.2/24"),
    ("@site", "hall 3|bay=7"),
]

# The upgrades run on a small board, so that each image takes few writes: 1 MiB copies, two
# of boot and of system, one of app. Its stored map is the one it booted with, as after an
# earlier upgrade.
UPGRADE_MAP = "boot:1%androidboot:2%androidboot,system:3:4,app:5"
UPGRADE_DEVICE = {
    "layout": {"bmap": UPGRADE_MAP, "bmap_seq": "1:3:5",
               "devices": {"mmcblk0": {"partitions": {str(n): 1 for n in range(1, 6)}}}},
    "env": [("bmap", f"bmap={UPGRADE_MAP} bmap_seq=1:3:5"), ("sys.eth.if", "eth0"),
            ("@site", "hall 3|bay=7")],
}
# The same board with the boot loader's redundant environment: two 8 KiB copies, the second at
# the end of the eMMC. Its entries fill the copies, so that a tear in any sector shows.
REDUNDANT_ENV = ("# device            offset    size\n"
                 "/dev/block/mmcblk0  0xC0000   0x2000\n"
                 "/dev/block/mmcblk0  -0x2000   0x2000\n")
REDUNDANT_DEVICE = dict(UPGRADE_DEVICE, etc={"fw_env.config": REDUNDANT_ENV},
                        env=[("@pad", "x" * 7900)] + UPGRADE_DEVICE["env"])
# The old images, in the active copies before an upgrade.
OLD = {"boot": "boot-1", "system": "system-1", "app": "app-1"}
SETUP_SCRIPT = b"echo done > setup-ran\n"
# A failed upgrade names what failed (a write, a sync, a mount, a dependency it could not
# check), then says that the upgrade failed.
UPGRADE_FAILURE = (r"(\[Error\] [^\n]*Fail\(|Dependency\(req_\w+\) error!)"
                   r"(.|\n)*\nUpgrade Fail\(")
SCRIPT_LEAVES = {"setup-ran": b"done\n"}  # what the script adds to its copy


class Images:
    """The images of the upgrade cases, made with mkvif on first use, removed at exit."""

    def __init__(self, mkvif):
        self.mkvif, self.root, self.built = mkvif, None, False

    def path(self, name):
        if self.root is None:
            self.root = tempfile.mkdtemp(prefix="powercut-images-")
            atexit.register(shutil.rmtree, self.root, True)
        return os.path.join(self.root, name + ".vif")

    def locator(self, name):
        return "file@!," + self.path(name)

    def ext4(self, name):
        return self.path(name)[:-4] + ".ext4"

    def bytes(self, name):
        self.build()
        return vif.read_image(self.path(name))

    def _mk(self, name, *args, hw="%hw%,zt4100.1.*,+"):
        r = subprocess.run([self.mkvif, *args, "--req-hw", hw, "-q", "-o", self.path(name)],
                           stderr=subprocess.PIPE)
        if r.returncode != 0:
            raise RuntimeError(f"mkvif {name}: {r.stderr.decode(errors='replace')}")

    def _tree(self, name, text, script=False):
        tree = self.path(name)[:-4] + ".tree"
        os.makedirs(tree)
        with open(os.path.join(tree, "build.prop"), "w") as f:
            f.write(text)
        extra = ["--ext4-out", self.ext4(name)]
        if script:
            script = self.path(name)[:-4] + ".sh"
            with open(script, "wb") as f:
                f.write(SETUP_SCRIPT)
            extra += ["--setup-script", script]
        return ["ext4", "--dir", tree, "--size", "256K", "--alias", name.split("-")[0],
                "--version", name.split("-")[1] + ".0.0", *extra]

    def build(self):
        if self.built:
            return
        for name in ("boot-1", "boot-2"):
            kernel = self.path(name)[:-4] + ".kernel"
            with open(kernel, "wb") as f:
                f.write(bytes((i * 7 + len(name) * ord(name[-1])) & 0xFF for i in range(20000)))
            self._mk(name, "image", "--alias", "boot", "--version", name[-1] + ".0.0",
                     "--contents", kernel)
        for name in ("system-1", "app-1"):
            self._mk(name, *self._tree(name, f"{name}\n"))
        self._mk("system-2", *self._tree("system-2", "system-2\n", script=True))
        # The compressed image's own header is not the one inside the file system it
        # carries; it asks for the app installed, which is read from its mounted copy.
        self._mk("system-3", *self._tree("system-3", "system-3\n"))
        self._mk("system-3z", "image", "--alias", "system", "--version", "3.0.0",
                 "--contents", self.ext4("system-3"), "--contents-type", "ext4", "--compress",
                 "--req-sw0", "app,1.0.0,+")
        self.built = True

    def problems(self, name, data):
        """What is wrong with a copy that should hold the image of this name."""
        image = self.bytes(name)
        if name == "system-2":
            return vif.setup_copy_problems(data, image, SCRIPT_LEAVES)
        return vif.copy_problems(data, "androidboot" if name.startswith("boot") else "ext4",
                                 image)


def _bmap_tokens(line):
    return {k: v for k, v in cmdline_tokens(line) if k in ("bmap_dev", "bmap", "bmap_seq")}


def _copies(tokens):
    """Region name -> its copy references ("3", "sd@6"), from a bmap value."""
    out = {}
    for item in tokens["bmap"].split(","):
        name, _, rest = item.partition(":")
        out[name] = [c.split("%")[0] for c in rest.split(":")]
    return out


def next_map(line, regions):
    """The "bmap" value the product stores for a command line when it moves regions to their
    next copies."""
    tokens = _bmap_tokens(line)
    copies = _copies(tokens)
    seq = []
    for ref in tokens["bmap_seq"].split(":"):
        name = next(n for n, refs in copies.items() if ref in refs)
        refs = copies[name]
        seq.append(refs[(refs.index(ref) + 1) % len(refs)] if name in regions else ref)
    return " ".join(f"{k}={tokens[k]}" for k in ("bmap_dev", "bmap") if k in tokens) + \
        " bmap_seq=" + ":".join(seq)


def next_boot(dev):
    """Region name -> index of the copy the next boot selects: the stored "bmap" applied to
    the command line, as the boot loader does."""
    env, line = dev.bootenv(), dev.cmdline()
    if env.valid and env.get("bmap"):
        line = apply_bmap_value(line, env.get("bmap"))
    tokens = _bmap_tokens(line)
    copies = _copies(tokens)
    return {name: refs.index(ref) for ref in tokens["bmap_seq"].split(":")
            for name, refs in copies.items() if ref in refs}


def upgrade(name, vorn, images, stages, new, device=UPGRADE_DEVICE, torn=False):
    """vorn STAGE IMAGE... for each stage in turn, on the small board (device) with the OLD
    images active; new: region -> image name, each written into its region's next copy."""
    paths = [images.locator(n) for n in new.values()]

    def setup(dev):
        # The next copies hold the old images too, as flashed in the factory: a copy that an
        # install left half written still mounts, and is told from the new image only by its
        # contents.
        images.build()
        for index in (0, 1):
            dev.put_raw("boot", index, images.path(OLD["boot"]))
            dev.put_ext4_image("system", index, images.ext4(OLD["system"]))
        dev.put_ext4_image("app", 0, images.ext4(OLD["app"]))

    def new_env(dev):
        return set_entry(dev.bootenv().entries, "bmap", next_map(dev.cmdline(), new))

    def check_images(dev, state):
        wanted = dict(OLD, **new) if state == "new" else OLD
        return [f"{region}#{i}: {p}" for region, i in next_boot(dev).items()
                for p in images.problems(wanted[region], dev.read_copy(region, i))]

    nodes = {Layout(UPGRADE_DEVICE["layout"]).copy(region, 1).node: region for region in new}

    def unreported(call):
        """A failed write or sync of an image's copy: that image is not reported upgraded;
        any failure: the map switch is not reported."""
        region = nodes.get(call.path) if call.name in DATA_CALLS + SYNC_CALLS else None
        return [r"Updated 'bmap config'"] + ([rf"Upgrade success\({region}\)"] if region else [])

    return Case(name, [[vorn, stage, *paths] for stage in stages], new_env,
                device=device, setup=setup,
                targets=[(region, 1) for region in new], check_images=check_images,
                error_message=UPGRADE_FAILURE, unreported=unreported,
                paths=["/dev/.vorn-mounts"], torn=torn)


def setprop(name, vorn, key, value=None):
    """vorn setprop KEY VALUE (or KEY alone: deletion) on a device with STORED_ENV."""
    def new_env(dev):
        return set_entry(dev.bootenv().entries, key, value)
    command = [vorn, "setprop", key] + ([value] if value is not None else [])
    return Case(name, command, new_env, device={"env": STORED_ENV},
                error_message=r"\[Error\] Boot Env .*Fail\(")


def all_cases(vorn, mkvif=None):
    """Every case by name. mkvif defaults to the one built beside vorn."""
    images = Images(mkvif or os.path.join(os.path.dirname(vorn), "..", "tools", "mkvif", "mkvif"))
    both = {"boot": "boot-2", "system": "system-2"}
    cases = [upgrade("upgrade", vorn, images, ["upgrade"], both),
             upgrade("upgrade-compressed", vorn, images, ["upgrade"], {"system": "system-3z"}),
             upgrade("install-then-setup", vorn, images, ["upgrade.install", "upgrade.setup"],
                     both),
             upgrade("upgrade-redundant-env", vorn, images, ["upgrade"], {"boot": "boot-2"},
                     device=REDUNDANT_DEVICE, torn=True),
             setprop("setprop-replace", vorn, "sys.eth.if", "eth1"),
             setprop("setprop-append", vorn, "@color", "red"),
             setprop("setprop-delete", vorn, "sys.eth.ip.mode")]
    return {c.name: c for c in cases}
