"""Options as toybox reads them: single letters, combinable (-nr), anywhere among the other
words until "--"; a letter that takes a value takes the rest of its word or the next word
(-n3, -n 3). Repeated value options keep every value in order."""

from .shell_args import Usage


def parse_options(cmd, args, switches, valued="", stop_at_first=False, numeric=None):
    """({letter: True or [values]}, other words). `numeric` names the option a bare -NUMBER
    stands for (head -5 is head -n 5). With `stop_at_first`, options end at the first other
    word (xargs, find -exec: the rest belongs to a command)."""
    found, rest = {}, []
    i = 0
    while i < len(args):
        a = args[i]
        i += 1
        if a == "--":
            rest += args[i:]
            break
        if not a.startswith("-") or a == "-":
            rest.append(a)
            if stop_at_first:
                rest += args[i:]
                break
            continue
        if numeric and a[1:].isascii() and a[1:].isdigit():
            found.setdefault(numeric, []).append(a[1:])
            continue
        j = 1
        while j < len(a):
            ch = a[j]
            if ch in valued:
                value = a[j + 1:]
                if not value:
                    if i >= len(args):
                        raise Usage(cmd, "Missing argument to -%s" % ch)
                    value = args[i]
                    i += 1
                found.setdefault(ch, []).append(value)
                break
            if ch not in switches:
                raise Usage(cmd, "Unknown option '%s'" % ch)
            found[ch] = True
            j += 1
    return found, rest


def last(found, letter, default=None):
    """The last value given to a value option."""
    values = found.get(letter)
    return values[-1] if values else default
