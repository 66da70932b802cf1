"""Regular expressions matched by an automaton, in time linear in the text, for the patterns a
user hands a device tool (hilog -e). Python's re backtracks: '(a|aa)+$' on one long line runs
for seconds, and the simulator's event loop, which serves every device, would wait for it.

The syntax is the extended one hilog's users write: literals, '.', bracket expressions (ranges,
negation, [:alpha:] and the like), escapes (\\d \\w \\s and their negations, \\b \\B, \\t \\n \\xHH),
groups '(...)' and '(?:...)', alternation, quantifiers '* + ? {m} {m,} {m,n}' (a lazy '?' after
them changes nothing, as only whether a line matches counts) and the anchors '^' '$'.
Back-references and look-arounds need backtracking and are refused.

The pattern becomes a Thompson automaton; searching follows all its states at once, and the
sets of states met are remembered as the states of a deterministic automaton built as the text
is read, so a pattern's usual lines cost a dictionary look-up a character.
"""

MAX_STATES = 20000      # past this a pattern is refused (a{1000}{1000} would be a million)
MAX_REPEAT = 1000
MAX_CACHED = 50000      # transitions remembered; forgotten all at once past this
POSIX_CLASSES = {
    "alpha": "a-zA-Z", "digit": "0-9", "alnum": "a-zA-Z0-9", "upper": "A-Z", "lower": "a-z",
    "space": " \t\n\r\f\v", "blank": " \t", "punct": "!-/:-@[-`{-~", "xdigit": "0-9A-Fa-f",
    "cntrl": "\x00-\x1f\x7f", "print": " -~", "graph": "!-~",
}
ESCAPED_CHARS = {"t": "\t", "n": "\n", "r": "\r", "f": "\f", "v": "\v", "0": "\0"}
START, WORD, OTHER, END = 0, 1, 2, 3   # what lies on either side of a position


WORK_BUDGET = 2000000   # automaton states visited afresh per read of the log, about a second's work


class PatternError(ValueError):
    pass


class TooComplex(Exception):
    """The pattern needed more fresh work than one read of the log allows (a pattern whose
    deterministic automaton keeps growing on the text at hand)."""


def _is_word(ch):
    return ch == "_" or ch.isalnum()


def _side(ch):
    return WORD if _is_word(ch) else OTHER


class CharSet:
    """The characters one step of the pattern takes: single ones, ranges and classes, or their complement."""

    def __init__(self, chars=(), ranges=(), classes=(), negated=False):
        self.chars, self.ranges, self.classes, self.negated = set(chars), list(ranges), set(classes), negated

    def __contains__(self, ch):
        found = (ch in self.chars or any(a <= ch <= b for a, b in self.ranges)
                 or any(CLASS_TESTS[c](ch) for c in self.classes))
        return found != self.negated


CLASS_TESTS = {
    "d": lambda ch: "0" <= ch <= "9", "D": lambda ch: not "0" <= ch <= "9",
    "w": _is_word, "W": lambda ch: not _is_word(ch),
    "s": lambda ch: ch.isspace(), "S": lambda ch: not ch.isspace(),
}
ANY_BUT_NEWLINE = CharSet("\n", negated=True)


class Parser:
    """Pattern text to a tree: ("chars", CharSet), ("assert", kind), ("cat", [..]), ("alt", [..]),
    ("repeat", node, low, high or None), ("empty",)."""

    def __init__(self, text):
        self.text, self.i = text, 0

    def parse(self):
        node = self.alternation()
        if self.i < len(self.text):
            raise PatternError("unmatched ')'")
        return node

    def peek(self):
        return self.text[self.i] if self.i < len(self.text) else None

    def alternation(self):
        branches = [self.concatenation()]
        while self.peek() == "|":
            self.i += 1
            branches.append(self.concatenation())
        return branches[0] if len(branches) == 1 else ("alt", branches)

    def concatenation(self):
        items = []
        while self.peek() not in (None, "|", ")"):
            items.append(self.quantified(self.atom()))
        return ("cat", items) if items else ("empty",)

    def quantified(self, node):
        while True:
            ch = self.peek()
            if ch in ("*", "+", "?"):
                self.i += 1
                low, high = {"*": (0, None), "+": (1, None), "?": (0, 1)}[ch]
            elif ch == "{" and self._bounds() is not None:
                low, high = self._bounds(consume=True)
            else:
                return node
            if node[0] == "assert":
                raise PatternError("nothing to repeat")
            if self.peek() == "?":     # lazy: the same lines match
                self.i += 1
            node = ("repeat", node, low, high)

    def _bounds(self, consume=False):
        end = self.text.find("}", self.i)
        if end < 0:
            return None
        low, comma, high = self.text[self.i + 1:end].partition(",")
        digits = set("0123456789")
        if not low or not set(low) <= digits or (high and not set(high) <= digits):
            return None
        if len(low) > 4 or len(high) > 4 or int(low) > MAX_REPEAT or (high and int(high) > MAX_REPEAT):
            raise PatternError("repetition count too large (at most %d)" % MAX_REPEAT)
        bounds = (int(low), (int(high) if high else None) if comma else int(low))
        if bounds[1] is not None and bounds[1] < bounds[0]:
            raise PatternError("numbers out of order in {} quantifier")
        if consume:
            self.i = end + 1
        return bounds

    def atom(self):
        ch = self.text[self.i]
        self.i += 1
        if ch == "(":
            if self.text.startswith("?:", self.i):
                self.i += 2
            elif self.peek() == "?":
                raise PatternError("look-arounds and named groups are not supported")
            node = self.alternation()
            if self.peek() != ")":
                raise PatternError("missing ')'")
            self.i += 1
            return node
        if ch in "*+?":
            raise PatternError("nothing to repeat")
        if ch == "{" and self._bounds_at(self.i - 1):
            raise PatternError("nothing to repeat")
        if ch == ".":
            return ("chars", ANY_BUT_NEWLINE)
        if ch == "^":
            return ("assert", "^")
        if ch == "$":
            return ("assert", "$")
        if ch == "[":
            return ("chars", self.bracket())
        if ch == "\\":
            return self.escape()
        return ("chars", CharSet(ch))

    def _bounds_at(self, i):
        saved, self.i = self.i, i
        try:
            return self._bounds() is not None
        finally:
            self.i = saved

    def escape(self):
        if self.i >= len(self.text):
            raise PatternError("trailing backslash")
        ch = self.text[self.i]
        self.i += 1
        if ch in "bB":
            return ("assert", ch)
        if ch in CLASS_TESTS:
            return ("chars", CharSet(classes=ch))
        if ch in "123456789":
            raise PatternError("back-references are not supported")
        return ("chars", CharSet(self._escaped_char(ch)))

    def _escaped_char(self, ch):
        if ch in ESCAPED_CHARS:
            return ESCAPED_CHARS[ch]
        if ch in "xu":
            width = 2 if ch == "x" else 4
            digits = self.text[self.i:self.i + width]
            if len(digits) != width or not set(digits) <= set("0123456789abcdefABCDEF"):
                raise PatternError("incomplete escape \\%s%s" % (ch, digits))
            self.i += width
            return chr(int(digits, 16))
        if ch.isalnum():
            raise PatternError("bad escape \\%s" % ch)
        return ch

    def bracket(self):
        found = CharSet()
        if self.peek() == "^":
            found.negated = True
            self.i += 1
        first = True
        while True:
            if self.i >= len(self.text):
                raise PatternError("unterminated character set")
            ch = self.text[self.i]
            if ch == "]" and not first:
                self.i += 1
                return found
            first = False
            if self.text.startswith("[:", self.i):
                end = self.text.find(":]", self.i + 2)
                name = self.text[self.i + 2:end] if end > 0 else None
                if name not in POSIX_CLASSES:
                    raise PatternError("invalid character class")
                self.i = end + 2
                inner = Parser("[" + POSIX_CLASSES[name] + "]")
                inner.i = 1
                sub = inner.bracket()
                found.chars |= sub.chars
                found.ranges += sub.ranges
                continue
            self.i += 1
            if ch == "\\":
                if self.i >= len(self.text):
                    raise PatternError("unterminated character set")
                esc = self.text[self.i]
                self.i += 1
                if esc in CLASS_TESTS:
                    found.classes.add(esc)
                    continue
                ch = ESCAPED_CHARS.get(esc, esc) if esc not in "xu" else self._escaped_char(esc)
            if self.peek() == "-" and self.i + 1 < len(self.text) and self.text[self.i + 1] != "]":
                self.i += 1
                high = self.text[self.i]
                self.i += 1
                if high == "\\" and self.i < len(self.text):
                    high = self.text[self.i]
                    self.i += 1
                    high = ESCAPED_CHARS.get(high, high) if high not in "xu" else self._escaped_char(high)
                if high < ch:
                    raise PatternError("bad character range %s-%s" % (ch, high))
                found.ranges.append((ch, high))
            else:
                found.chars.add(ch)


class Automaton:
    """Thompson's construction: state n is ("chars", CharSet, next), ("split", a, b),
    ("assert", kind, next) or ("match",)."""

    def __init__(self, tree):
        self.states = []
        start = self._build(tree, self._add(("match",)))
        self.start = start

    def _add(self, state):
        if len(self.states) >= MAX_STATES:
            raise PatternError("regular expression too large")
        self.states.append(state)
        return len(self.states) - 1

    def _build(self, node, after):
        """The state that matches `node` and then goes on to `after` (built back to front)."""
        kind = node[0]
        if kind == "empty":
            return after
        if kind == "chars":
            return self._add(("chars", node[1], after))
        if kind == "assert":
            return self._add(("assert", node[1], after))
        if kind == "cat":
            for item in reversed(node[1]):
                after = self._build(item, after)
            return after
        if kind == "alt":
            starts = [self._build(branch, after) for branch in node[1]]
            state = starts[-1]
            for s in reversed(starts[:-1]):
                state = self._add(("split", s, state))
            return state
        _, inner, low, high = node
        if high is None:     # low copies, then a loop
            loop = self._add(("split", None, after))
            body = self._build(inner, loop)
            self.states[loop] = ("split", body, after)
            after = loop
        else:
            for _ in range(high - low):
                after = self._add(("split", self._build(inner, after), after))
        for _ in range(low):
            after = self._build(inner, after)
        return after


def _holds(kind, before, after):
    if kind == "^":
        return before == START
    if kind == "$":
        return after == END
    boundary = (before == WORD) != (after == WORD)
    return boundary if kind == "b" else not boundary


class DState:
    """A state of the deterministic automaton: the automaton's states at a position, what lies
    before it, and the transitions found so far by character."""

    __slots__ = ("states", "before", "table")

    def __init__(self, states, before):
        self.states, self.before, self.table = states, before, {}


class Regex:
    """A compiled pattern; `search(text)` tells whether it matches somewhere in the text."""

    def __init__(self, pattern, ignore_case=False):
        self.pattern = pattern
        self.ignore_case = ignore_case
        tree = Parser(pattern).parse()
        self.nfa = Automaton(tree)
        self._words = _uses_words(tree)    # without \b or \B only the text's start matters before a position
        self._dstates = {}
        self._transitions = 0
        self._initial = self._dstate(frozenset([self.nfa.start]), START)
        needed = required(tree)
        self.needed = None if needed is None else sorted({t.lower() for t in needed} if ignore_case else needed)
        # Plain text (or a choice of plain texts) matches exactly where one of those texts is found.
        self._plain = self.needed is not None and _plain(tree)
        self.spent = 0         # fresh work since the last new_read()

    def new_read(self):
        """Starts the work budget of one read of the log afresh."""
        self.spent = 0

    def _dstate(self, states, before):
        found = self._dstates.get((states, before))
        if found is None:
            found = self._dstates[(states, before)] = DState(states, before)
        return found

    def _closure(self, states, before, after):
        """(states reached without reading a character, whether the match state is one);
        the search may start anywhere, so the start state is always among them."""
        seen, todo, matched = set(), list(states) + [self.nfa.start], False
        nfa = self.nfa.states
        while todo:
            n = todo.pop()
            if n in seen:
                continue
            seen.add(n)
            state = nfa[n]
            kind = state[0]
            if kind == "split":
                todo += (state[1], state[2])
            elif kind == "assert":
                if _holds(state[1], before, after):
                    todo.append(state[2])
            elif kind == "match":
                matched = True
        return seen, matched

    def _step(self, dstate, ch):
        side = _side(ch) if self._words else OTHER
        reached, matched = self._closure(dstate.states, dstate.before, side)
        self.spent += len(reached)
        if self.spent > WORK_BUDGET:
            raise TooComplex(self.pattern)
        nfa = self.nfa.states
        forms = (ch, ch.lower(), ch.upper()) if self.ignore_case else (ch,)
        following = frozenset(nfa[n][2] for n in reached
                              if nfa[n][0] == "chars" and any(form in nfa[n][1] for form in forms))
        self._transitions += 1
        if self._transitions > MAX_CACHED:     # forget them all; the states in use stay valid
            for known in self._dstates.values():
                known.table = {}
            self._dstates, self._transitions = {}, 0
        found = dstate.table[ch] = (self._dstate(following, side), matched)
        return found

    def search(self, text):
        if self.needed is not None:
            seen = text.lower() if self.ignore_case else text
            if not any(t in seen for t in self.needed):
                return False
            if self._plain:
                return True
        state = self._initial
        for ch in text:
            found = state.table.get(ch)
            state, matched = found if found is not None else self._step(state, ch)
            if matched:
                return True
        return self._closure(state.states, state.before, END)[1]


def _plain(node):
    kind = node[0]
    if kind == "cat":
        return all(_single(n) is not None for n in node[1])
    if kind == "alt":
        return all(_plain(n) for n in node[1])
    return _single(node) is not None


def _uses_words(node):
    kind = node[0]
    if kind == "assert":
        return node[1] in "bB"
    if kind in ("cat", "alt"):
        return any(_uses_words(n) for n in node[1])
    if kind == "repeat":
        return _uses_words(node[1])
    return False


def _single(node):
    """The character a node matches if it matches one character only, else None."""
    if node[0] != "chars":
        return None
    cs = node[1]
    return next(iter(cs.chars)) if len(cs.chars) == 1 and not cs.ranges and not cs.classes and not cs.negated else None


def required(node):
    """Texts one of which every match contains, or None: a line with none of them cannot match,
    which str's own search finds out far faster than the automaton."""
    kind = node[0]
    if kind == "chars":
        ch = _single(node)
        return None if ch is None else {ch}
    if kind == "alt":
        found = [required(n) for n in node[1]]
        return None if any(f is None for f in found) else set().union(*found)
    if kind == "repeat":
        return required(node[1]) if node[2] >= 1 else None
    if kind != "cat":
        return None
    candidates, run = [], ""
    for item in node[1] + [("empty",)]:
        ch = _single(item)
        if ch is not None:
            run += ch
            continue
        if run:
            candidates.append({run})
            run = ""
        inner = required(item)
        if inner is not None:
            candidates.append(inner)
    return max(candidates, key=lambda texts: min(len(t) for t in texts), default=None)


def compile(pattern, ignore_case=False):   # noqa: A001 - named as re's
    return Regex(pattern, ignore_case)
