"""Whether a POSIX pattern (the tree posix_regex parses) matches somewhere in a line, decided
by an automaton in time linear in the line. Backtracking (Python's re, or a matcher that finds
where the match is) can take far longer on a pattern such as '(a|aa)+$', and the simulator's
one event loop serves every device.

The tree becomes a Thompson automaton; the search follows all its states at once, and each
set of states met is remembered as a state of a deterministic automaton built as the text is
read, so the usual lines of a pattern cost a dictionary look-up a character. Back-references
need backtracking: such trees are not taken.
"""

import re

MAX_STATES = 20000      # as the bounded matcher's program: a{255}{255} is past it
MAX_CACHED = 50000      # transitions remembered; forgotten all at once past this
START, WORD, OTHER, END = 0, 1, 2, 3   # what lies on either side of a position
WORD_ASSERTIONS = ("wordb", "nwordb", "wbeg", "wend", "nowordbefore", "nowordafter")


class TooLarge(Exception):
    """The pattern needs more automaton states than one may hold."""


def _side(ch):
    return WORD if ch == "_" or ch.isalnum() else OTHER


def _holds(kind, before, after):
    if kind in ("bol", "bos"):
        return before == START
    if kind in ("eol", "eos"):
        return after == END
    word_before, word_after = before == WORD, after == WORD
    return {"wordb": word_before != word_after, "nwordb": word_before == word_after,
            "wbeg": word_after and not word_before, "wend": word_before and not word_after,
            "nowordbefore": not word_before, "nowordafter": not word_after}[kind]


def _char_test(node, icase):
    kind = node[0]
    if kind == "any":
        return lambda ch: True
    if kind == "set":
        return re.compile(node[1], re.IGNORECASE if icase else 0).match
    lit = node[1]
    if icase:
        forms = {lit, lit.lower(), lit.upper()}
        return lambda ch: ch in forms or ch.lower() in forms
    return lit.__eq__


class Automaton:
    """Thompson's construction: state n is ("chars", test, next), ("split", a, b),
    ("assert", kind, next) or ("match",)."""

    def __init__(self, tree, icase):
        self.states, self.icase = [], icase
        self.start = self._build(tree, self._add(("match",)))

    def _add(self, state):
        if len(self.states) >= MAX_STATES:
            raise TooLarge()
        self.states.append(state)
        return len(self.states) - 1

    def _build(self, node, after):
        """The state that matches `node` and then goes on to `after` (built back to front)."""
        kind = node[0]
        if kind in ("lit", "any", "set"):
            return self._add(("chars", _char_test(node, self.icase), after))
        if kind == "group":
            return self._build(node[2], after)
        if kind == "nc":
            return self._build(node[1], after)
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
        if kind == "rep":
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
        return self._add(("assert", kind, after))


class DState:
    """A state of the deterministic automaton: the automaton's states at a position, what lies
    before it, and the transitions found so far by character."""

    __slots__ = ("states", "before", "table")

    def __init__(self, states, before):
        self.states, self.before, self.table = states, before, {}


class LineMatcher:
    """search(text, budget) -> whether the tree matches somewhere in text. `budget` is a
    one-element list of the automaton states it may still visit afresh; past it, search
    returns None (the caller decides what a pattern too costly for its input means)."""

    def __init__(self, tree, icase):
        self.nfa = Automaton(tree, icase)
        self._words = _uses_words(tree)    # without word assertions only the text's ends matter
        self._dstates, self._transitions = {}, 0
        self._initial = self._dstate(frozenset([self.nfa.start]), START)
        needed = required(tree)
        self.icase = icase
        self.needed = None if needed is None else sorted({t.lower() for t in needed} if icase else needed)

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

    def _step(self, dstate, ch, budget):
        side = _side(ch) if self._words else OTHER
        reached, matched = self._closure(dstate.states, dstate.before, side)
        budget[0] -= len(reached)
        nfa = self.nfa.states
        following = frozenset(nfa[n][2] for n in reached if nfa[n][0] == "chars" and nfa[n][1](ch))
        self._transitions += 1
        if self._transitions > MAX_CACHED:     # forget them all; the states in use stay valid
            for known in self._dstates.values():
                known.table = {}
            self._dstates, self._transitions = {}, 0
        found = dstate.table[ch] = (self._dstate(following, side), matched)
        return found

    def search(self, text, budget):
        if self.needed is not None:
            seen = text.lower() if self.icase else text
            if not any(t in seen for t in self.needed):
                return False
        state = self._initial
        for ch in text:
            found = state.table.get(ch)
            if found is None:
                if budget[0] < 0:
                    return None
                found = self._step(state, ch, budget)
            state, matched = found
            if matched:
                return True
        return self._closure(state.states, state.before, END)[1]


def _uses_words(node):
    kind = node[0]
    if kind in WORD_ASSERTIONS:
        return True
    if kind in ("cat", "alt"):
        return any(_uses_words(n) for n in node[1])
    if kind == "group":
        return _uses_words(node[2])
    if kind in ("nc", "rep"):
        return _uses_words(node[1])
    return False


def required(node):
    """Texts one of which every match contains, or None: a line with none of them cannot match,
    which str's own search finds out far faster than the automaton."""
    kind = node[0]
    if kind == "lit":
        return {node[1]}
    if kind == "group":
        return required(node[2])
    if kind == "nc":
        return required(node[1])
    if kind == "alt":
        found = [required(n) for n in node[1]]
        return None if any(f is None for f in found) else set().union(*found)
    if kind == "rep":
        return required(node[1]) if node[2] >= 1 else None
    if kind != "cat":
        return None
    candidates, run = [], ""
    for item in node[1] + [("end",)]:
        if item[0] == "lit":
            run += item[1]
            continue
        if run:
            candidates.append({run})
            run = ""
        inner = required(item)
        if inner is not None:
            candidates.append(inner)
    return max(candidates, key=lambda texts: min(len(t) for t in texts), default=None)
