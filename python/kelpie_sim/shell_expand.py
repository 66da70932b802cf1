"""sh's expansions of a word: parameters, command substitution, arithmetic, field
splitting and pathname patterns (globs), which match names in the device folder only.

`sh` is the running shell (see shell.ShellState): its `vars`, `status`, `pid`, `last_job`,
`fs`, `cwd`, and the coroutine `capture(tree)` that runs a command substitution."""

import os
import re
import stat

from . import shell_arith
from .confine import FsError
from .shell_syntax import Parser, ShellSyntax

IFS_WHITE = re.compile(r"[ \t\n]+")
GLOB_CHARS = "*?["
MAX_GLOB_MATCHES = 100000
MAX_BRACE_WORDS = 10000


class ExpansionError(Exception):
    """An expansion the shell cannot do; sh prints "/bin/sh: TEXT" and the line ends with status 1."""


def special(sh, name):
    if name == "?":
        return str(sh.status)
    if name == "$":
        return str(sh.pid)
    if name == "!":
        return str(sh.last_job) if sh.last_job else ""
    if name == "#":
        return str(len(sh.env.args))
    if name == "0":
        return "/bin/sh"
    if name == "-":
        return "h"
    return ""


def lookup(sh, name):
    """The value of a parameter, or None when it is not set."""
    if name in "?$!#0-" and len(name) == 1:
        return special(sh, name)
    if name.isdigit():      # a positional parameter: a function's arguments
        n = int(name)
        return sh.env.args[n - 1] if n <= len(sh.env.args) else None
    if name in ("@", "*"):
        return " ".join(sh.env.args) if sh.env.args else None
    return sh.vars.get(name)


async def parameter(sh, part):
    _kind, name, op, word, _quoted = part
    value = lookup(sh, name)
    if op is None:
        return value or ""
    if op == "len":
        return str(len(value or ""))
    if op in ("#", "##", "%", "%%"):
        return strip_pattern(value or "", await pattern_of(sh, word or [], tokens=True), op)
    unset = value is None or (op.startswith(":") and value == "")
    kind = op[-1]
    if kind == "-":
        return await single(sh, word or []) if unset else value
    if kind == "+":
        return "" if unset else await single(sh, word or [])
    if kind == "=":
        if unset:
            if not NAME_RE.fullmatch(name):
                raise ExpansionError("%s: cannot assign in this way" % name)
            value = await single(sh, word or [])
            sh.vars[name] = value
        return value
    if unset:   # "?"
        text = await single(sh, word or [])
        raise ExpansionError("%s: %s" % (name, text or "parameter null or not set"))
    return value


NAME_RE = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def strip_pattern(value, tokens, op):
    """${NAME#pattern} and its kin: the shortest (# %) or longest (## %%) match cut from the
    start (# ##) or the end (% %%). A pattern without alternatives matches shortest with lazy
    stars and longest with greedy ones; the end is matched as the start of the reversed text."""
    lazy = len(op) == 1
    if op[0] == "%":
        tokens, value = tokens[::-1], value[::-1]
    regex = re.compile("".join(t + "?" if lazy and t.endswith("*") else t for t in tokens), re.S)
    m = regex.match(value)
    rest = value[m.end():] if m else value
    return rest[::-1] if op[0] == "%" else rest


async def arithmetic(sh, part):
    text = await single(sh, part[1])
    try:
        return str(shell_arith.evaluate(text, sh.vars))
    except shell_arith.ArithError as e:
        raise ExpansionError("%s: %s" % (text.strip(), e)) from None


async def value_of(sh, part):
    """The text an expansion part gives, before field splitting."""
    kind = part[0]
    if kind == "param":
        return await parameter(sh, part)
    if kind == "cmd":
        return (await sh.capture(part[1])).rstrip("\n")
    if kind == "arith":
        return await arithmetic(sh, part)
    return part[1]


async def single(sh, parts):
    """The word as one text, without field splitting or patterns (assignments, redirections, case)."""
    out = []
    for part in parts:
        out.append(part[1] if part[0] in ("lit", "q") else await value_of(sh, part))
    return "".join(out)


class Field:
    """A field being built: its pieces of text, each with whether its pattern characters are active."""

    def __init__(self):
        self.pieces = []
        self.kept = False     # a quoted part makes the field exist even when it is empty

    def text(self):
        return "".join(t for t, _ in self.pieces)


async def fields(sh, parts):
    """The fields of one word, field splitting done; each a Field."""
    done, current = [], Field()
    if parts and parts[0][0] == "lit" and parts[0][1][:1] == "~" and parts[0][1][1:2] in ("", "/"):
        parts = [("q", sh.vars.get("HOME", "/")), ("lit", parts[0][1][1:])] + list(parts[1:])
    for part in parts:
        kind = part[0]
        if kind == "lit":
            current.pieces.append((part[1], True))
            continue
        if kind == "q":
            current.pieces.append((part[1], False))
            current.kept = True
            continue
        if kind == "param" and part[1] == "@" and part[2] is None and part[-1]:
            # "$@": each argument a field of its own, none without arguments
            for k, arg in enumerate(sh.env.args):
                if k:
                    done.append(current)
                    current = Field()
                current.pieces.append((arg, False))
                current.kept = True
            continue
        value = await value_of(sh, part)
        if part[-1]:          # quoted expansion: no splitting
            current.pieces.append((value, False))
            current.kept = True
            continue
        ifs = sh.vars.get("IFS")
        pieces = IFS_WHITE.split(value) if ifs is None else _split_ifs(value, ifs)
        for k, piece in enumerate(pieces):
            if k:
                if current.pieces and current.text() or current.kept:
                    done.append(current)
                current = Field()
            if piece:
                current.pieces.append((piece, True))
    if current.text() or current.kept:
        done.append(current)
    return done


def _split_ifs(value, ifs):
    if not ifs:
        return [value]
    return re.split("[%s]" % re.escape(ifs), value)


async def words(sh, word_list):
    """The argument list of words: braces, every expansion, field splitting and globbing done."""
    out = []
    for word in word_list:
        for parts in braces(word):
            for field in await fields(sh, parts):
                out.extend(glob(sh, field))
    return out


def braces(parts, made=None):
    """The words a word's unquoted {a,b,...} makes (mksh's brace expansion), in order."""
    made = [0] if made is None else made
    for i, part in enumerate(parts):
        span = _brace_span(part[1]) if part[0] == "lit" else None
        if span is None:
            continue
        start, end, choices = span
        out = []
        for choice in choices:
            made[0] += 1
            if made[0] > MAX_BRACE_WORDS:
                raise ExpansionError("brace expansion: too many words")
            text = part[1][:start] + choice + part[1][end + 1:]
            out.extend(braces(parts[:i] + [("lit", text)] + parts[i + 1:], made))
        return out
    return [parts]


def _brace_span(text):
    """(where "{" is, where its "}" is, the choices) of the first brace group with a comma."""
    start = text.find("{")
    while start >= 0:
        depth, commas, k = 0, [], start
        while k < len(text):
            if text[k] == "{":
                depth += 1
            elif text[k] == "}":
                depth -= 1
                if depth == 0:
                    break
            elif text[k] == "," and depth == 1:
                commas.append(k)
            k += 1
        if k < len(text) and commas:
            cuts = [start] + commas + [k]
            return start, k, [text[cuts[n] + 1:cuts[n + 1]] for n in range(len(cuts) - 1)]
        start = text.find("{", start + 1)
    return None


def glob(sh, field):
    """The field's names in the device folder when it has an active pattern, sorted; the field
    itself when it has none or nothing matches."""
    text = field.text()
    if not any(active and any(c in GLOB_CHARS for c in piece) for piece, active in field.pieces):
        return [text]
    components = _components(field.pieces)
    absolute = text.startswith("/")
    try:
        found = _match(sh, components, absolute)
    except (OSError, FsError):
        found = []
    return sorted(found) if found else [text]


def _components(pieces):
    """The field cut at its slashes: per component, a compiled pattern or its literal text."""
    comps, current, has_glob = [], [], False
    for piece, active in pieces:
        for ch in piece:
            if ch == "/":
                comps.append((current, has_glob))
                current, has_glob = [], False
                continue
            current.append((ch, active))
            has_glob = has_glob or (active and ch in GLOB_CHARS)
    comps.append((current, has_glob))
    out = []
    for chars, has_glob in comps:
        literal = "".join(c for c, _ in chars)
        out.append((literal, compile_pattern(chars, slash=False) if has_glob else None))
    return out


def pattern_tokens(chars, slash=True):
    """The regex pieces of a pattern given as (character, active) pairs, one per character or
    bracket expression; `slash`: may * and ? match "/"."""
    out, i = [], 0
    anything = "." if slash else "[^/]"
    while i < len(chars):
        ch, active = chars[i]
        if active and ch == "*":
            out.append(anything + "*")
        elif active and ch == "?":
            out.append(anything)
        elif active and ch == "[":
            end = _bracket_end(chars, i)
            if end is None:
                out.append(re.escape(ch))
            else:
                out.append(_bracket(chars[i + 1:end]))
                i = end
        else:
            out.append(re.escape(ch))
        i += 1
    return out


def compile_pattern(chars, slash=True):
    return re.compile("".join(pattern_tokens(chars, slash)), re.S)


def _bracket_end(chars, i):
    j = i + 1
    if j < len(chars) and chars[j][0] in "!^":
        j += 1
    if j < len(chars) and chars[j][0] == "]":
        j += 1
    while j < len(chars):
        if chars[j][0] == "]":
            return j
        j += 1
    return None


def _bracket(chars):
    text = "".join(c for c, _ in chars)
    negate = text[:1] in ("!", "^")
    if negate:
        text = text[1:]
    body = []
    k = 0
    while k < len(text):
        m = re.match(r"\[:([a-z]+):\]", text[k:])
        if m:
            body.append({"alpha": "a-zA-Z", "digit": "0-9", "alnum": "a-zA-Z0-9", "upper": "A-Z",
                         "lower": "a-z", "space": r"\s", "xdigit": "0-9A-Fa-f"}.get(m.group(1), ""))
            k += m.end()
            continue
        ch = text[k]
        if ch == "-" and 0 < k < len(text) - 1:
            body.append("-")
        else:
            body.append(re.escape(ch))
        k += 1
    inner = "".join(body)
    if not inner:
        return "[^\\s\\S]" if not negate else "."
    try:
        re.compile("[" + inner + "]")
    except re.error:
        inner = re.escape(text)
    return "[" + ("^" if negate else "") + inner + "]"


def _match(sh, components, absolute):
    """The device paths the components match, walking the device folder."""
    results = [("/" if absolute else "", "/" if absolute else sh.cwd)]   # (path as written, device dir)
    for k, (literal, pattern) in enumerate(components):
        last = k == len(components) - 1
        if k == 0 and absolute and literal == "" and pattern is None:
            continue
        nxt = []
        for written, devdir in results:
            if pattern is None:
                nxt.append((_join(written, literal), _join_dev(devdir, literal)))
                continue
            _dev, host = sh.fs.resolve(devdir)
            try:
                names = sorted(os.listdir(host))
            except OSError:
                continue
            for name in names:
                if name.startswith(".") and not literal.startswith("."):
                    continue
                if pattern.fullmatch(name):
                    nxt.append((_join(written, name), _join_dev(devdir, name)))
                    if len(nxt) > MAX_GLOB_MATCHES:
                        raise ExpansionError("too many matches")
        results = nxt
        if not last:
            results = [(w, d) for w, d in results if _is_dir(sh, d)]
        elif literal == "":      # a pattern ending in "/" names directories only
            pass
    out = []
    for written, devdir in results:
        try:
            _dev, host = sh.fs.resolve(devdir)
        except FsError:
            continue
        if os.path.lexists(host):
            out.append(written)
    return out


def _join(written, name):
    if written in ("", "/"):
        return written + name
    return written + "/" + name


def _join_dev(devdir, name):
    return devdir.rstrip("/") + "/" + name if name else devdir


def _is_dir(sh, devpath):
    try:
        _dev, host = sh.fs.resolve(devpath)
        return stat.S_ISDIR(os.stat(host).st_mode)
    except (OSError, FsError):
        return False


async def pattern_of(sh, parts, tokens=False):
    """A case pattern (or ${x#pattern}, as its regex pieces) as a regex: quoted parts match
    themselves."""
    chars = []
    for part in parts:
        if part[0] in ("lit", "q"):
            chars.extend((c, part[0] == "lit") for c in part[1])
        else:
            chars.extend((c, not part[-1]) for c in await value_of(sh, part))
    return pattern_tokens(chars) if tokens else compile_pattern(chars, slash=True)


async def heredoc(sh, text, expand):
    """A here-document's text, its $ expansions done unless its end word was quoted."""
    if not expand:
        return text
    try:
        parts = Parser(text, 0, 1)._word("", quoted=True)
    except ShellSyntax as e:
        raise ExpansionError(str(e)) from None
    return await single(sh, parts)
