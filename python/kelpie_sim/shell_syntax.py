"""The device sh's grammar: a command line read into a tree of commands.

Words keep their quoting as parts, because what a quote protects decides the expansions
later: ("lit", text) is unquoted text, ("q", text) quoted text, and ("param", name, op,
word, quoted), ("cmd", tree, quoted), ("arith", parts, quoted) are the expansions.
Syntax errors read as the device's sh (mksh) prints them after "/bin/sh: ".
"""

import re

RESERVED = {"if", "then", "elif", "else", "fi", "for", "in", "do", "done", "while", "until",
            "case", "esac", "{", "}", "!"}
# Words that end a list of commands: they belong to the compound command around it.
CLOSERS = {"then", "elif", "else", "fi", "do", "done", "esac", "}"}
OPERATORS = ("&&", "||", ";;", ";", "&", "|", "(", ")")
REDIRECTIONS = (">>", ">&", ">|", "<<", "<&", "<>", ">", "<")
META = " \t\n;&|<>()"
NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
DIGITS = re.compile(r"[0-9]*")
ASSIGNMENT = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)=")
SPECIAL_PARAMS = "?$#!@*-0123456789"
MAX_NESTING = 40   # compound commands and substitutions inside each other


class ShellSyntax(Exception):
    """The line cannot run: the text is the error sh prints (after "/bin/sh: ")."""


# The tree. Each node is a small class with only data.
class Simple:
    def __init__(self, assigns, words, redirs, text):
        self.assigns, self.words, self.redirs, self.text = assigns, words, redirs, text


class Redir:
    def __init__(self, fd, op, target):
        self.fd, self.op, self.target = fd, op, target   # target: word parts, or for a here-document its text


class Pipeline:
    def __init__(self, commands, negate):
        self.commands, self.negate = commands, negate


class AndOr:
    def __init__(self, first, rest):
        self.first, self.rest = first, rest     # rest: [("&&" or "||", pipeline)]


class Sequence:
    def __init__(self, items):
        self.items = items                      # [(and-or, runs in the background)]


class If:
    def __init__(self, branches, otherwise):
        self.branches, self.otherwise = branches, otherwise   # [(condition, body)], body or None


class Loop:
    def __init__(self, condition, body, until):
        self.condition, self.body, self.until = condition, body, until


class For:
    def __init__(self, name, words, body):
        self.name, self.words, self.body = name, words, body  # words None: "$@"


class Case:
    def __init__(self, word, arms):
        self.word, self.arms = word, arms       # [([pattern words], body)]


class Group:
    def __init__(self, body, subshell):
        self.body, self.subshell = body, subshell


class Function:
    def __init__(self, name, body):
        self.name, self.body = name, body


class Redirected:
    def __init__(self, command, redirs):
        self.command, self.redirs = command, redirs


class Token:
    def __init__(self, kind, value, start, end):
        self.kind, self.value, self.start, self.end = kind, value, start, end   # kind: word op redir nl eof

    def reserved(self):
        """The reserved word this token is, if it is one (only unquoted words can be)."""
        if self.kind == "word" and len(self.value) == 1 and self.value[0][0] == "lit" and self.value[0][1] in RESERVED:
            return self.value[0][1]
        return None

    def shown(self):
        if self.kind == "word":
            return "".join(p[1] if p[0] in ("lit", "q") else "$" for p in self.value)
        if self.kind == "redir":
            return self.value[1]
        return self.value


def parse(text, depth=0):
    """The tree of a whole command line (run `depth` levels inside others); raises ShellSyntax."""
    parser = Parser(text, 0, depth)
    tree = parser.sequence()
    tok = parser.peek()
    if tok.kind != "eof":
        parser.unexpected(tok)
    parser.no_more_heredocs()
    return tree


class Parser:
    def __init__(self, src, pos, depth):
        if depth > MAX_NESTING:
            raise ShellSyntax("syntax error: nested too deeply")
        self.src, self.pos, self.depth = src, pos, depth
        self._peeked = None
        self.opened = []        # the compound commands open here, for "'if' unmatched"
        self.heredocs = []      # here-documents whose text starts after the next line end

    # --- tokens ------------------------------------------------------------------------

    def peek(self):
        if self._peeked is None:
            self._peeked = self._lex()
        return self._peeked

    def take(self):
        tok = self.peek()
        self._peeked = None
        return tok

    def unexpected(self, tok):
        if tok.kind == "eof":
            if self.opened:
                raise ShellSyntax("syntax error: '%s' unmatched" % self.opened[-1])
            raise ShellSyntax("syntax error: unexpected EOF")
        raise ShellSyntax("syntax error: '%s' unexpected" % ("newline" if tok.kind == "nl" else tok.shown()))

    def _lex(self):
        src = self.src
        while True:
            while self.pos < len(src) and src[self.pos] in " \t":
                self.pos += 1
            if src.startswith("\\\n", self.pos):
                self.pos += 2
                continue
            if self.pos < len(src) and src[self.pos] == "#":
                end = src.find("\n", self.pos)
                self.pos = len(src) if end < 0 else end
            break
        start = self.pos
        if start >= len(src):
            return Token("eof", "", start, start)
        ch = src[start]
        if ch == "\n":
            self.pos += 1
            self._read_heredocs()
            return Token("nl", "newline", start, self.pos)
        if ch in "<>" or ch.isdigit():
            digits = DIGITS.match(src, start, start + 12).group(0)
            for op in REDIRECTIONS:
                if src.startswith(op, start + len(digits)):
                    self.pos = start + len(digits) + len(op)
                    fd = int(digits) if digits else (0 if op[0] == "<" else 1)
                    if op == "<<" and self.pos < len(src) and src[self.pos] == "-":
                        self.pos += 1
                        op = "<<-"
                    return Token("redir", (fd, op), start, self.pos)
        if ch in ";&|()":
            for op in OPERATORS:
                if src.startswith(op, start):
                    self.pos += len(op)
                    return Token("op", op, start, self.pos)
        parts = self._word(META)
        return Token("word", parts, start, self.pos)

    # --- words -------------------------------------------------------------------------

    def _word(self, stops, quoted=False):
        """The parts of a word from self.pos up to an unquoted character of `stops`."""
        src, parts, lit = self.src, [], []

        def flush():
            if lit:
                parts.append(("q" if quoted else "lit", "".join(lit)))
                lit.clear()

        while self.pos < len(src):
            ch = src[self.pos]
            if ch in stops:
                break
            if ch == "\\":
                nxt = src[self.pos + 1:self.pos + 2]
                self.pos += 2
                if nxt == "\n":
                    continue
                if quoted and nxt not in "$`\"\\":
                    lit.append("\\" + nxt)
                    continue
                flush()
                parts.append(("q", nxt or "\\"))
                continue
            if ch == "'" and not quoted:
                end = src.find("'", self.pos + 1)
                if end < 0:
                    raise ShellSyntax("no closing quote")
                flush()
                parts.append(("q", src[self.pos + 1:end]))
                self.pos = end + 1
                continue
            if ch == '"' and not quoted:
                flush()
                self.pos += 1
                inner = self._word('"', quoted=True)
                if self.pos >= len(src):
                    raise ShellSyntax("no closing quote")
                self.pos += 1
                parts.extend(inner or [("q", "")])
                continue
            if ch == "$" or ch == "`":
                part = self._expansion(quoted)
                if part is not None:
                    flush()
                    parts.append(part)
                    continue
                lit.append("$")
                self.pos += 1
                continue
            lit.append(ch)
            self.pos += 1
        flush()
        return parts

    def _expansion(self, quoted):
        """The expansion starting at self.pos ("$..." or a backquote), or None for a lone "$"."""
        src, pos = self.src, self.pos
        if src[pos] == "`":
            end, body = pos + 1, []
            while end < len(src) and src[end] != "`":
                if src[end] == "\\" and end + 1 < len(src) and src[end + 1] in "$`\\":
                    end += 1
                body.append(src[end])
                end += 1
            if end >= len(src):
                raise ShellSyntax("no closing quote")
            inner = Parser("".join(body), 0, self.depth + 1)
            tree = inner.sequence()
            if inner.peek().kind != "eof":
                inner.unexpected(inner.peek())
            inner.no_more_heredocs()
            self.pos = end + 1
            return ("cmd", tree, quoted)
        nxt = src[pos + 1:pos + 2]
        if src.startswith("$((", pos):
            end = self._arith_end(pos + 3)
            if end is not None:
                inner = Parser(src[pos + 3:end], 0, self.depth + 1)
                parts = inner._word("", quoted=True)
                self.pos = end + 2
                return ("arith", parts, quoted)
        if nxt == "(":
            inner = Parser(src, pos + 2, self.depth + 1)
            inner.opened.append("(")
            tree = inner.sequence()
            tok = inner.take()
            if tok.kind != "op" or tok.value != ")":
                inner.unexpected(tok)
            inner.no_more_heredocs()
            self.pos = inner.pos
            return ("cmd", tree, quoted)
        if nxt == "{":
            return self._braced(quoted)
        if nxt and nxt in SPECIAL_PARAMS:
            self.pos = pos + 2
            return ("param", nxt, None, None, quoted)
        m = NAME.match(src, pos + 1)
        if m:
            self.pos = m.end()
            return ("param", m.group(0), None, None, quoted)
        return None

    def _arith_end(self, start):
        """Where the "))" that closes "$((" at `start` is, or None when it is a command substitution."""
        depth, i = 0, start
        while i < len(self.src):
            ch = self.src[i]
            if ch == "(":
                depth += 1
            elif ch == ")":
                if depth == 0:
                    return i if self.src.startswith("))", i) else None
                depth -= 1
            elif ch in "'\"`":
                return None
            i += 1
        raise ShellSyntax("syntax error: unexpected EOF")

    def _braced(self, quoted):
        """${NAME}, ${#NAME}, ${NAME:-word} and the other operators with a word."""
        src = self.src
        self.pos += 2
        length = src.startswith("#", self.pos) and src[self.pos + 1:self.pos + 2] not in ("}", "")
        if length:
            self.pos += 1
        m = NAME.match(src, self.pos)
        if m:
            name = m.group(0)
        elif self.pos < len(src) and src[self.pos].isdigit() and src[self.pos].isascii():
            name = DIGITS.match(src, self.pos).group(0)
        elif self.pos < len(src) and src[self.pos] in SPECIAL_PARAMS:
            name = src[self.pos]
        else:
            raise ShellSyntax("${%s}: bad substitution" % src[self.pos:src.find("}", self.pos)])
        self.pos += len(name)
        if length:
            op = "#"
        else:
            m = re.match(r":?[-=+?]|##?|%%?", src[self.pos:self.pos + 2])
            op = m.group(0) if m else None
        word = None
        if op is not None and not length:
            self.pos += len(op)
            word = self._word("}", quoted=quoted and op[0] not in "#%")   # a pattern stays one in quotes
        if self.pos >= len(src) or src[self.pos] != "}":
            if self.pos >= len(src):
                raise ShellSyntax("no closing quote")
            raise ShellSyntax("${%s}: bad substitution" % src[self.pos - len(name):src.find("}", self.pos)])
        self.pos += 1
        return ("param", name, "len" if length else op, word, quoted)

    def no_more_heredocs(self):
        for redir in self.heredocs:    # a here-document the text ends before
            redir.target = ""
        self.heredocs = []

    def _read_heredocs(self):
        for redir in self.heredocs:
            end_word, strip = redir.target
            lines = []
            while True:
                if self.pos >= len(self.src):
                    break
                nl = self.src.find("\n", self.pos)
                line = self.src[self.pos:] if nl < 0 else self.src[self.pos:nl]
                self.pos = len(self.src) if nl < 0 else nl + 1
                if (line.lstrip("\t") if strip else line) == end_word:
                    break
                lines.append((line.lstrip("\t") if strip else line) + "\n")
            redir.target = "".join(lines)
        self.heredocs = []

    # --- grammar -----------------------------------------------------------------------

    def skip_newlines(self):
        while self.peek().kind == "nl":
            self.take()

    def sequence(self):
        """Commands separated by ';', '&' or line ends, up to a word or operator that closes them."""
        items = []
        self.skip_newlines()
        while True:
            tok = self.peek()
            if tok.kind == "eof" or tok.reserved() in CLOSERS or (tok.kind == "op" and tok.value in (")", ";;")):
                break
            command = self.and_or()
            tok = self.peek()
            background = tok.kind == "op" and tok.value == "&"
            items.append((command, background))
            if tok.kind == "op" and tok.value in (";", "&") or tok.kind == "nl":
                self.take()
                self.skip_newlines()
                continue
            break
        return Sequence(items)

    def body(self, opener):
        """A list that may not be empty, inside a compound command."""
        seq = self.sequence()
        if not seq.items:
            self.unexpected(self.peek())
        return seq

    def expect(self, word):
        tok = self.take()
        if tok.reserved() != word:
            self.unexpected(tok)

    def and_or(self):
        first = self.pipeline()
        rest = []
        while self.peek().kind == "op" and self.peek().value in ("&&", "||"):
            op = self.take().value
            self.skip_newlines()
            rest.append((op, self.pipeline()))
        return AndOr(first, rest)

    def pipeline(self):
        negate = False
        while self.peek().reserved() == "!":
            self.take()
            negate = not negate
        commands = [self.command()]
        while self.peek().kind == "op" and self.peek().value == "|":
            self.take()
            self.skip_newlines()
            commands.append(self.command())
        return Pipeline(commands, negate)

    def command(self):
        tok = self.peek()
        word = tok.reserved()
        compound = {"if": self.if_, "while": self.while_, "until": self.while_, "for": self.for_,
                    "case": self.case_, "{": self.group}.get(word)
        if compound is None and tok.kind == "op" and tok.value == "(":
            compound = self.group
        if compound is None:
            return self.simple()
        if self.depth + len(self.opened) > MAX_NESTING:
            raise ShellSyntax("syntax error: nested too deeply")
        self.opened.append(word or "(")
        node = compound()
        self.opened.pop()
        redirs = []
        while self.peek().kind == "redir":
            redirs.append(self.redirection())
        return Redirected(node, redirs) if redirs else node

    def if_(self):
        self.take()
        branches = []
        while True:
            condition = self.body("if")
            self.expect("then")
            branches.append((condition, self.body("then")))
            tok = self.take()
            word = tok.reserved()
            if word == "elif":
                continue
            if word == "else":
                otherwise = self.body("else")
                self.expect("fi")
                return If(branches, otherwise)
            if word == "fi":
                return If(branches, None)
            self.unexpected(tok)

    def while_(self):
        until = self.take().reserved() == "until"
        condition = self.body("while")
        self.expect("do")
        body = self.body("do")
        self.expect("done")
        return Loop(condition, body, until)

    def for_(self):
        self.take()
        tok = self.take()
        if tok.kind != "word":
            self.unexpected(tok)
        if len(tok.value) != 1 or tok.value[0][0] != "lit" or not NAME.fullmatch(tok.value[0][1]):
            raise ShellSyntax("for: bad identifier")
        name = tok.value[0][1]
        words = None
        self.skip_newlines()
        if self.peek().reserved() == "in":
            self.take()
            words = []
            while self.peek().kind == "word":
                words.append(self.take().value)
            tok = self.peek()
            if tok.kind == "op" and tok.value == ";" or tok.kind == "nl":
                self.take()
        elif self.peek().kind == "op" and self.peek().value == ";":
            self.take()
        self.skip_newlines()
        self.expect("do")
        body = self.body("do")
        self.expect("done")
        return For(name, words, body)

    def case_(self):
        self.take()
        tok = self.take()
        if tok.kind != "word":
            self.unexpected(tok)
        word = tok.value
        self.skip_newlines()
        self.expect("in")
        arms = []
        while True:
            self.skip_newlines()
            tok = self.peek()
            if tok.reserved() == "esac":
                self.take()
                return Case(word, arms)
            if tok.kind == "op" and tok.value == "(":
                self.take()
            patterns = []
            while True:
                tok = self.take()
                if tok.kind != "word":
                    self.unexpected(tok)
                patterns.append(tok.value)
                tok = self.take()
                if tok.kind == "op" and tok.value == "|":
                    continue
                if tok.kind == "op" and tok.value == ")":
                    break
                self.unexpected(tok)
            body = self.sequence()
            arms.append((patterns, body))
            tok = self.peek()
            if tok.kind == "op" and tok.value == ";;":
                self.take()
                continue
            if tok.reserved() != "esac":
                self.unexpected(tok)

    def group(self):
        tok = self.take()
        subshell = tok.kind == "op"
        body = self.body("(" if subshell else "{")
        tok = self.take()
        if (tok.kind == "op" and tok.value == ")") if subshell else tok.reserved() == "}":
            return Group(body, subshell)
        self.unexpected(tok)

    def redirection(self):
        tok = self.take()
        fd, op = tok.value
        target = self.take()
        if target.kind != "word":
            self.unexpected(target)
        redir = Redir(fd, op, target.value)
        if op in ("<<", "<<-"):
            end_word = "".join(p[1] for p in target.value if p[0] in ("lit", "q"))
            quoted = any(p[0] == "q" for p in target.value)
            redir.target = (end_word, op == "<<-")
            redir.op = "<<" if quoted else "<<$"       # unquoted: the text's $ expansions apply
            self.heredocs.append(redir)
        return redir

    def _defines_function(self, tok):
        nxt = self.peek()
        return (nxt.kind == "op" and nxt.value == "(" and len(tok.value) == 1 and tok.value[0][0] == "lit"
                and NAME.fullmatch(tok.value[0][1]) is not None)

    def function(self, name):
        """NAME() COMMAND, the "(" already seen."""
        self.take()
        tok = self.take()
        if tok.kind != "op" or tok.value != ")":
            self.unexpected(tok)
        self.skip_newlines()
        tok = self.peek()
        if not (tok.reserved() in ("{", "if", "for", "while", "until", "case")
                or tok.kind == "op" and tok.value == "("):
            self.unexpected(tok)
        return Function(name, self.command())

    def simple(self):
        assigns, words, redirs = [], [], []
        start = end = None
        while True:
            tok = self.peek()
            if tok.kind == "redir":
                redirs.append(self.redirection())
                continue
            if tok.kind != "word" or (not words and not assigns and tok.reserved() in CLOSERS):
                break
            self.take()
            if not words:
                m = tok.value[0][0] == "lit" and ASSIGNMENT.match(tok.value[0][1])
                if m:
                    first = tok.value[0][1][m.end():]
                    assigns.append((m.group(1), ([("lit", first)] if first else []) + tok.value[1:]))
                    start = tok.start if start is None else start
                    end = tok.end
                    continue
            if not words and not assigns and not redirs and self._defines_function(tok):
                return self.function(tok.value[0][1])
            words.append(tok.value)
            start = tok.start if start is None else start
            end = tok.end
        if not (assigns or words or redirs):
            self.unexpected(self.peek())
        text = self.src[start:end] if start is not None else ""
        return Simple(assigns, words, redirs, text)
