"""Kernel command lines: tokens, key changes, and the boot loader's use of a stored boot map."""

BOOTMAP_KEYS = ("bmap_dev", "bmap", "bmap_seq")


def cmdline_tokens(text):
    """Splits a kernel command line into (key, value) pairs; value None for a bare token."""
    out = []
    for tok in text.split():
        key, sep, value = tok.partition("=")
        out.append((key, value) if sep else (tok, None))
    return out


def format_cmdline(tokens):
    return " ".join(k if v is None else f"{k}={v}" for k, v in tokens)


def set_cmdline_keys(text, changes):
    """Returns text with each key of changes set in place (appended when new).

    A value None removes the key; True makes it a bare token ("quiet").
    """
    tokens = cmdline_tokens(text)
    for key, value in changes.items():
        hit = [i for i, (k, _) in enumerate(tokens) if k == key]
        if value is True:
            value = None
            tokens = [(k, None) if k == key else (k, v) for k, v in tokens]
            if not hit:
                tokens.append((key, None))
        elif value is None:
            tokens = [t for t in tokens if t[0] != key]
        elif hit:
            tokens[hit[0]] = (key, value)
            tokens = [t for i, t in enumerate(tokens) if t[0] != key or i == hit[0]]
        else:
            tokens.append((key, value))
    return format_cmdline(tokens)


def apply_bmap_value(cmdline, bmap_value):
    """What the boot loader does with a stored "bmap" value: its bmap_dev/bmap/bmap_seq
    tokens replace the boot map keys of the command line; every other token stays."""
    new = [(k, v) for k, v in cmdline_tokens(bmap_value) if k in BOOTMAP_KEYS]
    tokens = cmdline_tokens(cmdline)
    at = next((i for i, (k, _) in enumerate(tokens) if k in BOOTMAP_KEYS), None)
    rest = [t for t in tokens if t[0] not in BOOTMAP_KEYS]
    if at is None:
        at = 1 if rest and rest[0][0] == "console" else 0
    else:
        at = sum(1 for t in tokens[:at] if t[0] not in BOOTMAP_KEYS)
    return format_cmdline(rest[:at] + new + rest[at:])
