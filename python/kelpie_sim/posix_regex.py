"""POSIX regular expressions (basic and extended) for the device's grep, sed, awk and hilog -e.

A pattern is parsed here (so a bad one gets the C library's text, as toybox prints it) and
then matched by one of three engines:

- Python's `re`, for the patterns whose backtracking cost stays small: a translation of the
  tree. It is fast, but some patterns make it take exponential time (`(a|aa)+$`) or a high
  power of the line length (`.*.*.*x`).
- a backtracking matcher that remembers every (instruction, position) it has tried, so it
  never tries one twice: at most len(program) * len(line) steps, whatever the pattern. It is
  slower per step (pure Python), so it serves only the lines `re` could stall on.
- an automaton (regex_automaton) that only tells whether a line matches, in time linear in the
  line: it decides `matches()` (hilog -e, grep's choice of lines) on those lines, and passes
  over the lines without a match before the bounded matcher looks for where one is.

Which one a line goes to depends on the pattern's shape: nested or alternated repetitions
always go to the bounded matcher; k plain repetitions go to `re` only while len(line) ** (k+1)
stays under RE_WORK; a back-reference counts as a repetition. The bounded matcher and the
automaton count their steps against STEP_BUDGET per compiled pattern (one command's run, or
one read of the log: `new_read()`), so a command over a huge input ends with an error
rather than holding the simulator's other devices for seconds.

Both engines pick the leftmost match and, among those, the first by priority (Perl's rule);
POSIX asks for the longest, which differs only for alternatives such as `a|ab`.
"""

import re

from . import regex_automaton

RE_WORK = 3e7          # sre steps that are fine in one call (a few tens of milliseconds)
STEP_BUDGET = 3_000_000  # bounded-matcher steps in one search (about a second)
MAX_PROGRAM = 20_000   # instructions of the bounded matcher (counted repeats are unrolled)
MAX_VISITED = 30_000_000   # bytes of the bounded matcher's record of what it tried on one line
DUP_MAX = 255          # the largest count in {m,n}, as the C library's RE_DUP_MAX
CLASSES = {
    "alpha": "a-zA-Z", "digit": "0-9", "alnum": "a-zA-Z0-9", "upper": "A-Z", "lower": "a-z",
    "space": " \\t\\n\\r\\f\\v", "blank": " \\t", "punct": "!-/:-@\\[-`{-~", "xdigit": "0-9A-Fa-f",
    "cntrl": "\\x00-\\x1f\\x7f", "print": " -~", "graph": "!-~",
}
SHORTHANDS = {"w": ("set", "\\w"), "W": ("set", "\\W"), "s": ("set", "\\s"), "S": ("set", "\\S"),
              "b": ("wordb",), "B": ("nwordb",), "<": ("wbeg",), ">": ("wend",),
              "`": ("bos",), "'": ("eos",)}
ESCAPED_CHARS = {"n": "\n", "t": "\t"}


class RegexError(Exception):
    """A pattern the C library's regcomp refuses; the text is its regerror text."""


class RegexBudget(Exception):
    """A match that would take longer than a command may hold the simulator."""


def _class_char(ch):
    return "\\" + ch if ch in "\\]^-[" else ch


class Parser:
    """The tree of a pattern. Nodes are tuples: ("lit", ch), ("any",), ("set", python class
    text), ("bol",), ("eol",), ("group", n, node), ("cat", [nodes]), ("alt", [nodes]),
    ("rep", node, min, max or None), ("backref", n) and the word assertions."""

    def __init__(self, pattern, extended, awk=False, escapes=False):
        self.p, self.ext, self.awk, self.escapes = pattern, extended, awk, escapes
        self.i, self.groups, self.closed = 0, 0, set()

    def parse(self):
        node = self.alternation(0)
        if self.i < len(self.p):   # only an unmatched ')' stops the top level early
            raise RegexError("Missing ')'")
        return node

    def peek(self, text):
        return self.p.startswith(text, self.i)

    def at_alt(self):
        return self.peek("|") if self.ext else self.peek("\\|")

    def at_close(self, depth):
        return depth > 0 and (self.peek(")") if self.ext else self.peek("\\)"))

    def alternation(self, depth):
        branches = [self.sequence(depth)]
        while self.at_alt():
            self.i += 1 if self.ext else 2
            branches.append(self.sequence(depth))
        return branches[0] if len(branches) == 1 else ("alt", branches)

    def sequence(self, depth):
        items = []
        start = self.i
        while self.i < len(self.p) and not self.at_alt() and not self.at_close(depth):
            if (self.peek(")") if self.ext else self.peek("\\)")) and depth == 0:
                raise RegexError("Missing ')'")
            atom = self.atom(depth, start)
            if atom is None:
                continue
            items.append(self.repeats(atom))
        return items[0] if len(items) == 1 else ("cat", items)

    def atom(self, depth, start):
        p, ch = self.p, self.p[self.i]
        first = self.i == start
        if ch == "[":
            return self.bracket()
        if ch == ".":
            self.i += 1
            return ("any",)
        if ch == "^" and (self.ext or first):
            self.i += 1
            return ("bol",)
        if ch == "$":
            self.i += 1
            if self.ext or self.i == len(p) or self.at_alt() or self.at_close(depth):
                return ("eol",)
            return ("lit", "$")
        if ch == "*" and (first or (not self.ext and p[start:self.i] == "^")):
            self.i += 1
            return ("lit", "*")    # nothing to repeat: a literal star
        if self.ext and ch in "+?" and first:
            self.i += 1
            return ("lit", ch)
        if self.ext and ch == "(":
            self.i += 1
            if self.escapes and self.peek("?:"):    # a group that captures nothing, as log users write it
                self.i += 2
                inner = self.alternation(depth + 1)
                if not self.peek(")"):
                    raise RegexError("Missing ')'")
                self.i += 1
                return ("nc", inner)
            return self.group(depth)
        if self.ext and ch == "{" and first:
            self.i += 1
            return ("lit", "{")
        if ch == "\\":
            if self.i + 1 >= len(p):
                raise RegexError("Trailing backslash")
            nxt = p[self.i + 1]
            self.i += 2
            if not self.ext and nxt == "(":
                return self.group(depth)
            if not self.ext and nxt == "{" and first:
                raise RegexError("Repetition not preceded by valid expression")
            if nxt.isdigit() and nxt != "0":
                n = int(nxt)
                if n > self.groups or n not in self.closed:
                    raise RegexError("Invalid back reference")
                return ("backref", n)
            if nxt in SHORTHANDS:
                return SHORTHANDS[nxt]
            if self.escapes and nxt in "dD":
                return ("set", "[0-9]" if nxt == "d" else "[^0-9]")
            if self.escapes and nxt == "x" and re.match("[0-9a-fA-F]{2}", p[self.i:self.i + 2]):
                self.i += 2
                return ("lit", chr(int(p[self.i - 2:self.i], 16)))
            if self.awk and nxt in "nrtfvab/":
                return ("lit", {"n": "\n", "r": "\r", "t": "\t", "f": "\f", "v": "\v", "a": "\a",
                                "b": "\b", "/": "/"}[nxt])
            return ("lit", ESCAPED_CHARS.get(nxt, nxt))
        self.i += 1
        return ("lit", ch)

    def group(self, depth):
        self.groups += 1
        n = self.groups
        inner = self.alternation(depth + 1)
        close = ")" if self.ext else "\\)"
        if not self.peek(close):
            raise RegexError("Missing ')'")
        self.i += len(close)
        self.closed.add(n)
        return ("group", n, inner)

    def repeats(self, atom):
        if atom[0] == "bol" and not self.ext:
            return atom     # a star after a leading ^ is a literal one
        while self.i < len(self.p):
            ch = self.p[self.i]
            if ch == "*":
                self.i += 1
                atom = ("rep", atom, 0, None)
            elif self.ext and ch in "+?":
                self.i += 1
                atom = ("rep", atom, 1 if ch == "+" else 0, None if ch == "+" else 1)
            elif not self.ext and (self.peek("\\+") or self.peek("\\?")):
                plus = self.p[self.i + 1] == "+"
                self.i += 2
                atom = ("rep", atom, 1 if plus else 0, None if plus else 1)
            elif (self.ext and ch == "{" and re.match(r"\{\d", self.p[self.i:])) or (
                    not self.ext and self.peek("\\{")):
                atom = ("rep", atom) + self.interval()
            else:
                break
            if atom[1][0] in ("bol", "eol", "wordb", "nwordb", "wbeg", "wend", "bos", "eos"):
                raise RegexError("Repetition not preceded by valid expression")
        return atom

    def interval(self):
        self.i += 1 if self.ext else 2
        m = re.match(r"(\d*)(,(\d*))?", self.p[self.i:])
        self.i += m.end()
        close = "}" if self.ext else "\\}"
        if not self.peek(close):
            raise RegexError("Missing '}'" if self.i >= len(self.p) else "Invalid contents of {}")
        self.i += len(close)
        if not m.group(1):
            raise RegexError("Invalid contents of {}")
        low = int(m.group(1))
        high = low if m.group(2) is None else (int(m.group(3)) if m.group(3) else None)
        if low > DUP_MAX or (high is not None and (high > DUP_MAX or high < low)):
            raise RegexError("Invalid contents of {}")
        return (low, high)

    def bracket(self):
        p = self.p
        j = self.i + 1
        negate = p.startswith("^", j)
        j += negate
        parts, chars = [], []
        first = True
        while True:
            if j >= len(p):
                raise RegexError("Missing ']'")
            ch = p[j]
            if ch == "]" and not first:
                j += 1
                break
            first = False
            if p.startswith("[:", j) or p.startswith("[=", j) or p.startswith("[.", j):
                kind = p[j + 1]
                end = p.find(kind + "]", j + 2)
                if end < 0:
                    raise RegexError("Missing ']'")
                name = p[j + 2:end]
                j = end + 2
                if kind == ":":
                    if name not in CLASSES:
                        raise RegexError("Unknown character class name")
                    parts.append(CLASSES[name])
                    continue
                if len(name) != 1:
                    raise RegexError("Unknown collating element")
                ch = name
            elif self.awk and ch == "\\" and j + 1 < len(p):
                ch = {"n": "\n", "t": "\t", "r": "\r"}.get(p[j + 1], p[j + 1])
                j += 2
            else:
                j += 1
            if p.startswith("-", j) and j + 1 < len(p) and p[j + 1] != "]":
                high = p[j + 1]
                j += 2
                if high == "[" and p.startswith(".", j):   # a collating element ends the range
                    end = p.find(".]", j + 1)
                    if end != j + 2:
                        raise RegexError("Unknown collating element")
                    high, j = p[j + 1], end + 2
                if high < ch:
                    raise RegexError("Invalid character range")
                parts.append(_class_char(ch) + "-" + _class_char(high))
            else:
                chars.append(ch)
        self.i = j
        text = "".join(parts) + "".join(_class_char(c) for c in chars)
        return ("set", ("[^%s]" if negate else "[%s]") % text)


def _python(node):
    kind = node[0]
    if kind == "lit":
        return re.escape(node[1])
    if kind == "any":
        return "."
    if kind == "set":
        return node[1]
    if kind == "group":
        return "(%s)" % _python(node[2])
    if kind == "nc":
        return "(?:%s)" % _python(node[1])
    if kind == "cat":
        return "".join(_python(n) for n in node[1])
    if kind == "alt":
        return "|".join(_python(n) for n in node[1])
    if kind == "rep":
        _, inner, low, high = node
        body = "(?:%s)" % _python(inner)
        if (low, high) == (0, None):
            return body + "*"
        if (low, high) == (1, None):
            return body + "+"
        return body + ("{%d,}" % low if high is None else "{%d,%d}" % (low, high))
    if kind == "backref":
        return "(?:\\%d)" % node[1]
    return {"bol": r"\A", "eol": r"\Z", "bos": r"\A", "eos": r"\Z", "wordb": r"\b", "nwordb": r"\B",
            "wbeg": r"\b(?=\w)", "wend": r"\b(?<=\w)", "nowordbefore": r"(?<!\w)",
            "nowordafter": r"(?!\w)"}[kind]


def _unwrap(node):
    while node[0] in ("group", "nc"):
        node = node[-1]
    return node


ZERO_WIDTH = ("bol", "eol", "bos", "eos", "wordb", "nwordb", "wbeg", "wend", "nowordbefore", "nowordafter")


def _first(node):
    """(the characters a match of `node` can start with, or None for any; whether it can be empty)."""
    kind = node[0]
    if kind == "lit":
        return {node[1]}, False
    if kind in ("group", "nc"):
        return _first(node[-1])
    if kind in ZERO_WIDTH:
        return set(), True
    if kind == "cat":
        chars = set()
        for n in node[1]:
            first, empty = _first(n)
            if first is None:
                return None, False
            chars |= first
            if not empty:
                return chars, False
        return chars, True
    if kind == "alt":
        chars, empty = set(), False
        for n in node[1]:
            first, e = _first(n)
            if first is None:
                return None, False
            chars |= first
            empty = empty or e
        return chars, empty
    if kind == "rep":
        first, empty = _first(node[1])
        return first, empty or node[2] == 0
    return None, False     # any, a bracket, a back reference


def _plain_alternatives(node):
    """Whether the alternation's branches cannot be confused: none empty, none repeating,
    and no two starting with the same character, so repeating it backtracks nowhere."""
    seen = set()
    for branch in node[1]:
        first, empty = _first(branch)
        if first is None or empty or first & seen or _shape(branch)[0]:
            return False
        seen |= first
    return True


def _shape(node):
    """(variable repetitions, whether one repeats a repetition or an alternation, backrefs)."""
    kind = node[0]
    if kind in ("group", "nc"):
        return _shape(node[-1])
    if kind in ("cat", "alt"):
        count, nested, backref = 0, False, False
        for n in node[1]:
            c, x, b = _shape(n)
            count, nested, backref = count + c, nested or x, backref or b
        return count, nested, backref
    if kind == "rep":
        c, x, b = _shape(node[1])
        inner = _unwrap(node[1])
        variable = node[3] != node[2]
        risky_inner = inner[0] == "backref" or (inner[0] == "alt" and not _plain_alternatives(inner))
        nested = x or (variable and (c > 0 or risky_inner))
        return c + variable, nested, b
    if kind == "backref":   # as long as its group's match: one more length to try
        return 1, False, True
    return 0, False, False


def _required(node):
    """Texts every match contains, so a line without one of them cannot match."""
    kind = node[0]
    if kind in ("group", "nc"):
        return _required(node[-1])
    if kind == "rep":
        return _required(node[1]) if node[2] > 0 else []
    if kind != "cat":
        return [node[1]] if kind == "lit" else []
    found, run = [], ""
    for n in node[1]:
        if n[0] == "lit":
            run += n[1]
            continue
        if run:
            found.append(run)
            run = ""
        found += _required(n)
    return found + ([run] if run else [])


# The bounded matcher's instructions.
CHAR, ANY, SET, SPLIT, JMP, SAVE, ASSERT, MATCH = range(8)


class Program:
    def __init__(self, icase):
        self.code, self.icase = [], icase

    def emit(self, *op):
        self.code.append(list(op))
        if len(self.code) > MAX_PROGRAM:
            raise RegexError("Out of memory")
        return len(self.code) - 1

    def build(self, node):
        kind = node[0]
        if kind == "lit":
            self.emit(CHAR, node[1].lower() if self.icase else node[1])
        elif kind == "any":
            self.emit(ANY)
        elif kind == "set":
            cls = re.compile(node[1], re.IGNORECASE if self.icase else 0)
            self.emit(SET, cls.match)
        elif kind == "group":
            self.emit(SAVE, 2 * node[1])
            self.build(node[2])
            self.emit(SAVE, 2 * node[1] + 1)
        elif kind == "cat":
            for n in node[1]:
                self.build(n)
        elif kind == "nc":
            self.build(node[1])
        elif kind == "alt":
            jumps = []
            for n in node[1][:-1]:
                split = self.emit(SPLIT, None, None)
                self.code[split][1] = len(self.code)
                self.build(n)
                jumps.append(self.emit(JMP, None))
                self.code[split][2] = len(self.code)
            self.build(node[1][-1])
            for j in jumps:
                self.code[j][1] = len(self.code)
        elif kind == "rep":
            _, inner, low, high = node
            for _ in range(low):
                self.build(inner)
            if high is None:
                loop = self.emit(SPLIT, None, None)
                self.code[loop][1] = len(self.code)
                self.build(inner)
                self.emit(JMP, loop)
                self.code[loop][2] = len(self.code)
            else:
                splits = []
                for _ in range(high - low):
                    split = self.emit(SPLIT, None, None)
                    self.code[split][1] = len(self.code)
                    splits.append(split)
                    self.build(inner)
                for split in splits:
                    self.code[split][2] = len(self.code)
        elif kind == "backref":
            raise RegexError("Invalid back reference")   # never built: such patterns use re
        else:
            self.emit(ASSERT, kind)


def _word(text, i):
    return 0 <= i < len(text) and (text[i].isalnum() or text[i] == "_")


def _holds(kind, text, pos):
    if kind in ("bol", "bos"):
        return pos == 0
    if kind in ("eol", "eos"):
        return pos == len(text)
    before, after = _word(text, pos - 1), _word(text, pos)
    if kind == "wordb":
        return before != after
    if kind == "nwordb":
        return before == after
    if kind == "wbeg":
        return after and not before
    if kind == "nowordbefore":
        return not before
    if kind == "nowordafter":
        return not after
    return before and not after


class Match:
    """What the bounded matcher found: the subset of re.Match the tools use."""

    def __init__(self, text, caps):
        self.string, self.caps = text, caps

    def span(self, g=0):
        return self.caps[2 * g], self.caps[2 * g + 1]

    def start(self, g=0):
        return self.caps[2 * g]

    def end(self, g=0):
        return self.caps[2 * g + 1]

    def group(self, g=0):
        a, b = self.span(g)
        return None if a < 0 or b < 0 else self.string[a:b]

    def groups(self):
        return tuple(self.group(g) for g in range(1, len(self.caps) // 2))


class Regex:
    """A compiled POSIX pattern: search(text, pos) -> a match (re.Match or Match) or None."""

    def __init__(self, pattern, extended=False, icase=False, awk=False, whole=None, fixed=False, escapes=False):
        self.pattern = pattern
        if fixed:
            tree = ("cat", [("lit", ch) for ch in pattern])
        else:
            tree = Parser(pattern, extended, awk, escapes).parse()
        if whole == "line":
            tree = ("cat", [("bol",), ("nc", tree), ("eol",)])
        elif whole == "word":
            tree = ("cat", [("nowordbefore",), ("nc", tree), ("nowordafter",)])
        self.groups = 0
        self.tree = tree
        flags = re.DOTALL | (re.IGNORECASE if icase else 0)
        try:
            self.fast = re.compile(_python(tree), flags)
        except (re.error, OverflowError, RecursionError):
            raise RegexError("Invalid regexp")
        except AssertionError:   # sre's own limits on huge repeats
            raise RegexError("Out of memory")
        self.groups = self.fast.groups
        count, nested, backref = _shape(tree)
        self.backref = backref
        # The longest line re may take; longer lines go to the bounded matcher.
        if nested:
            self.cap = 12
        elif count <= 1:
            self.cap = None
        else:
            self.cap = int(RE_WORK ** (1.0 / (count + 1)))
        self.program = None
        self.automaton = None
        self.icase = icase
        self.steps = 0
        # Cheap tests that spare the bounded matcher most lines and start positions.
        self.required = [r.lower() if icase else r for r in _required(tree)]
        first, empty = _first(tree)
        self.starts = None if first is None or empty else {c.lower() if icase else c for c in first}

    def new_read(self):
        """Starts the step budget afresh: a command that follows the log gets it for each read."""
        self.steps = 0

    def matches(self, text):
        """Whether the pattern matches somewhere in `text`; RegexBudget past the step budget."""
        if self.cap is None or len(text) <= self.cap:
            return self.fast.search(text) is not None
        return self._found(text)

    def search(self, text, pos=0):
        if self.cap is None or len(text) - pos <= self.cap:
            return self.fast.search(text, pos)
        if pos == 0 and not self._found(text):
            return None
        return self._bounded(text, pos)

    def _found(self, text):
        """The automaton's answer, on a line too long for re."""
        if self.backref:
            raise RegexBudget()
        if self.required:
            hay = text.lower() if self.icase else text
            if any(hay.find(r) < 0 for r in self.required):
                return False
        if self.automaton is None:
            try:
                self.automaton = regex_automaton.LineMatcher(self.tree, self.icase)
            except regex_automaton.TooLarge:
                raise RegexBudget() from None
        budget = [STEP_BUDGET - self.steps]
        found = self.automaton.search(text, budget)
        self.steps = STEP_BUDGET - budget[0]
        if found is None:
            raise RegexBudget()
        return found

    def _bounded(self, text, pos):
        if self.program is None:
            prog = Program(self.icase)
            try:
                prog.emit(SAVE, 0)
                prog.build(self.tree)
            except RegexError:    # too large to unroll
                raise RegexBudget() from None
            prog.emit(SAVE, 1)
            prog.emit(MATCH)
            self.program = prog.code
        code, n, icase = self.program, len(text), self.icase
        width = n + 1
        if len(code) * width > MAX_VISITED:
            raise RegexBudget()
        visited = bytearray(len(code) * width)
        slots = 2 * (self.groups + 1)
        steps = 0
        starts = self.starts
        for first in range(pos, n + 1):
            if starts is not None and (first == n or (text[first].lower() if icase else text[first]) not in starts):
                continue
            caps = [-1] * slots
            stack = [(0, first)]
            while stack:
                pc, at = stack.pop()
                if pc < 0:
                    caps[-1 - pc] = at
                    continue
                while True:
                    key = pc * width + at
                    if visited[key]:
                        break
                    visited[key] = 1
                    steps += 1
                    if steps > STEP_BUDGET:
                        raise RegexBudget()
                    op = code[pc]
                    kind = op[0]
                    if kind == CHAR:
                        if at < n and (text[at].lower() if icase else text[at]) == op[1]:
                            pc, at = pc + 1, at + 1
                            continue
                        break
                    if kind == ANY:
                        if at < n:
                            pc, at = pc + 1, at + 1
                            continue
                        break
                    if kind == SET:
                        if at < n and op[1](text[at]):
                            pc, at = pc + 1, at + 1
                            continue
                        break
                    if kind == SPLIT:
                        stack.append((op[2], at))
                        pc = op[1]
                        continue
                    if kind == JMP:
                        pc = op[1]
                        continue
                    if kind == SAVE:
                        stack.append((-1 - op[1], caps[op[1]]))
                        caps[op[1]] = at
                        pc += 1
                        continue
                    if kind == ASSERT:
                        if _holds(op[1], text, at):
                            pc += 1
                            continue
                        break
                    self.steps = steps
                    return Match(text, caps)
        self.steps = steps
        return None


def compile_posix(pattern, extended=False, icase=False, awk=False, whole=None, fixed=False, escapes=False):
    """A Regex, or RegexError with the C library's text. `whole` is "line" or "word" for a
    match that must be the whole line or a whole word (grep -x, -w); `fixed` reads the
    pattern as plain text (grep -F); `escapes` also takes what log users write in an extended
    pattern: \\d, \\D, \\xHH and (?:...)."""
    try:
        return Regex(pattern, extended, icase, awk, whole, fixed, escapes)
    except RecursionError:
        raise RegexError("Out of memory")


def expand_template(m, template_parts):
    """Replacement text from parts: str pieces, and ints for groups (0 for the whole match)."""
    out = []
    for part in template_parts:
        if isinstance(part, int):
            out.append(m.group(part) or "")
        else:
            out.append(part)
    return "".join(out)
