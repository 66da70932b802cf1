"""hilog: the device log, filtered the way the device's hilog filters it."""

LEVELS = "DIWEF"


class LogArgsError(Exception):
    pass


def parse_args(text):
    """(tags, levels) from "-t TAG[,TAG]" and "-L LEVEL[,LEVEL]"; "-x" is accepted."""
    tags, levels = set(), set()
    words = text.split()
    i = 0
    while i < len(words):
        w = words[i]
        if w in ("-t", "-L"):
            if i + 1 >= len(words):
                raise LogArgsError("option %s needs a value" % w)
            values = {v for v in words[i + 1].split(",") if v}
            if w == "-t":
                tags |= values
            else:
                bad = [v for v in values if v.upper() not in LEVELS or len(v) != 1]
                if bad:
                    raise LogArgsError("invalid level %s (one of %s)" % (bad[0], ",".join(LEVELS)))
                levels |= {v.upper() for v in values}
            i += 2
        elif w == "-x":
            i += 1
        else:
            raise LogArgsError("invalid option %s (supported: -t TAG, -L LEVEL, -x)" % w)
    return tags, levels


def render(lines, tags, levels):
    picked = [ln.text for ln in lines if (not tags or ln.tag in tags) and (not levels or ln.level in levels)]
    return "".join(t + "\n" for t in picked).encode("utf-8")
