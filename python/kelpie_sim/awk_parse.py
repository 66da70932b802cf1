"""awk programs read into a tree: the lexer and the recursive-descent parser.

Nodes are tuples whose first item names them ("num", "str", "regex", "var", "field",
"index", "call", "binop", ...); awk.py runs them."""

import re

from .posix_regex import RegexError, compile_posix

KEYWORDS = {"BEGIN", "END", "function", "func", "if", "else", "while", "for", "do", "break", "continue",
            "next", "nextfile", "exit", "return", "delete", "in", "getline", "print", "printf"}
BUILTINS = {"length", "substr", "index", "split", "sub", "gsub", "match", "sprintf", "sin", "cos", "atan2",
            "exp", "log", "sqrt", "int", "rand", "srand", "tolower", "toupper", "system", "close", "fflush"}
OPERATORS = sorted("""+= -= *= /= %= ^= **= == <= >= != ++ -- && || >> !~ ** { } ( ) [ ] ; , + - * / % ^ ! > < | ? : ~ $ =""".split(),
                   key=len, reverse=True)
STRING_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "/": "/", "a": "\a", "b": "\b",
                  "f": "\f", "v": "\v"}
NUMBER = re.compile(r"(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?")
NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
MAX_SOURCE = 1 << 20


class AwkSyntax(Exception):
    pass


class Token:
    def __init__(self, kind, value, pos, line, spaced):
        self.kind, self.value, self.pos, self.line = kind, value, pos, line
        self.spaced = spaced   # whether blanks came before it

    def is_op(self, *ops):
        return self.kind == "op" and self.value in ops

    def text(self):
        return "end of file" if self.kind == "eof" else "end of line" if self.kind == "nl" else str(self.value)


class Lexer:
    def __init__(self, source):
        self.src, self.pos, self.line = source, 0, 1
        self.peeked = None

    def error(self, token=None):
        token = token or self.peek()
        raise AwkSyntax("line %d: syntax error at or near %s" % (token.line, token.text()))

    def peek(self):
        if self.peeked is None:
            self.peeked = self._read()
        return self.peeked

    def next(self):
        token = self.peek()
        self.peeked = None
        return token

    def _read(self):
        src = self.src
        start = self.pos
        while True:
            while self.pos < len(src) and src[self.pos] in " \t\r":
                self.pos += 1
            if src.startswith("\\\n", self.pos):
                self.pos += 2
                self.line += 1
                continue
            if self.pos < len(src) and src[self.pos] == "#":
                while self.pos < len(src) and src[self.pos] != "\n":
                    self.pos += 1
            break
        spaced = self.pos > start
        pos = self.pos
        if pos >= len(src):
            return Token("eof", None, pos, self.line, spaced)
        ch = src[pos]
        if ch == "\n":
            self.pos += 1
            self.line += 1
            return Token("nl", None, pos, self.line - 1, spaced)
        if ch == '"':
            return Token("str", self._string(), pos, self.line, spaced)
        m = NUMBER.match(src, pos)
        if m:
            self.pos = m.end()
            return Token("num", float(m.group()), pos, self.line, spaced)
        m = NAME.match(src, pos)
        if m:
            self.pos = m.end()
            word = m.group()
            if word in KEYWORDS:
                return Token("kw", "function" if word == "func" else word, pos, self.line, spaced)
            if word in BUILTINS:
                return Token("builtin", word, pos, self.line, spaced)
            if src.startswith("(", self.pos):
                return Token("funcname", word, pos, self.line, spaced)
            return Token("name", word, pos, self.line, spaced)
        for op in OPERATORS:
            if src.startswith(op, pos):
                self.pos += len(op)
                return Token("op", "^" if op == "**" else "^=" if op == "**=" else op, pos, self.line, spaced)
        self.pos += 1
        raise AwkSyntax("line %d: syntax error at or near %s" % (self.line, ch))

    def _string(self):
        src, out = self.src, []
        self.pos += 1
        while True:
            if self.pos >= len(src) or src[self.pos] == "\n":
                raise AwkSyntax("line %d: runaway string constant \"%s ..." % (self.line, "".join(out)[:10]))
            ch = src[self.pos]
            if ch == '"':
                self.pos += 1
                return "".join(out)
            if ch == "\\" and self.pos + 1 < len(src):
                nxt = src[self.pos + 1]
                m = re.match(r"[0-7]{1,3}", src[self.pos + 1:])
                if m:
                    out.append(chr(int(m.group(), 8)))
                    self.pos += 1 + m.end()
                    continue
                if nxt == "\n":
                    self.line += 1
                    self.pos += 2
                    continue
                out.append(STRING_ESCAPES.get(nxt, "\\" + nxt))
                self.pos += 2
                continue
            out.append(ch)
            self.pos += 1

    def regex(self, token):
        """The regular expression whose opening '/' is `token` (already peeked)."""
        self.peeked = None
        src, out = self.src, []
        self.pos = token.pos + 1
        in_bracket = False
        while True:
            if self.pos >= len(src) or src[self.pos] == "\n":
                raise AwkSyntax("line %d: runaway regular expression /%s ..." % (token.line, "".join(out)[:10]))
            ch = src[self.pos]
            if ch == "/" and not in_bracket:
                self.pos += 1
                return "".join(out)
            if ch == "\\" and self.pos + 1 < len(src):
                if src[self.pos + 1] == "/":
                    out.append("/")
                else:
                    out.append(src[self.pos:self.pos + 2])
                self.pos += 2
                continue
            if ch == "[" and not in_bracket:
                in_bracket = True
                out.append(ch)
                self.pos += 1
                if src.startswith("^", self.pos):
                    out.append("^")
                    self.pos += 1
                if src.startswith("]", self.pos):
                    out.append("]")
                    self.pos += 1
                continue
            if ch == "[" and in_bracket and src[self.pos + 1:self.pos + 2] in (":", ".", "="):
                end = src.find(src[self.pos + 1] + "]", self.pos + 2)
                if end > 0:
                    out.append(src[self.pos:end + 2])
                    self.pos = end + 2
                    continue
            if ch == "]" and in_bracket:
                in_bracket = False
            out.append(ch)
            self.pos += 1


def compile_regex(text):
    try:
        return compile_posix(text, extended=True, awk=True)
    except RegexError as e:
        raise AwkSyntax("regular expression compile failed (%s)\n%s" % (e, text))


class Parser:
    def __init__(self, source):
        if len(source) > MAX_SOURCE:
            raise AwkSyntax("program too long")
        self.lx = Lexer(source)
        self.begin, self.end, self.rules, self.functions = [], [], [], {}
        self.params = None      # the current function's parameter names
        self.no_in = False      # inside for (...): `in` belongs to the loop
        self.no_gt = False      # in print's list: `>` is a redirection

    # Tokens
    def peek(self):
        return self.lx.peek()

    def take(self, kind, value=None):
        t = self.lx.peek()
        if t.kind != kind or (value is not None and t.value != value):
            self.lx.error(t)
        return self.lx.next()

    def accept_op(self, *ops):
        if self.peek().is_op(*ops):
            return self.lx.next()
        return None

    def newlines(self):
        while self.peek().kind == "nl":
            self.lx.next()

    def terminators(self):
        while self.peek().kind == "nl" or self.peek().is_op(";"):
            self.lx.next()

    # Program
    def program(self):
        self.terminators()
        while self.peek().kind != "eof":
            self.item()
            self.terminators()
        return self

    def item(self):
        t = self.peek()
        if t.kind == "kw" and t.value in ("BEGIN", "END"):
            self.lx.next()
            self.newlines()
            (self.begin if t.value == "BEGIN" else self.end).append(self.block())
            return
        if t.kind == "kw" and t.value == "function":
            self.function()
            return
        pattern = second = None
        if not t.is_op("{"):
            pattern = self.expression()
            if self.accept_op(","):
                self.newlines()
                second = self.expression()
        if self.peek().is_op("{"):
            action = self.block()
        else:
            if pattern is None:
                self.lx.error()
            action = None
        self.rules.append([pattern, second, action, False])

    def function(self):
        self.lx.next()
        t = self.lx.next()
        if t.kind not in ("name", "funcname"):
            self.lx.error(t)
        name = t.value
        if name in self.functions:
            raise AwkSyntax("line %d: function %s redefined" % (t.line, name))
        self.take("op", "(")
        params = []
        while not self.peek().is_op(")"):
            params.append(self.take("name").value)
            if not self.accept_op(","):
                break
            self.newlines()
        self.take("op", ")")
        self.newlines()
        self.params = params
        self.functions[name] = (params, None)
        body = self.block()
        self.params = None
        self.functions[name] = (params, body)

    def block(self):
        self.take("op", "{")
        statements = []
        self.terminators()
        while not self.peek().is_op("}"):
            statements.append(self.statement())
            self.terminators()
        self.take("op", "}")
        return ("block", statements)

    def simple_end(self):
        t = self.peek()
        if t.is_op(";") or t.kind == "nl":
            self.lx.next()
        elif not (t.is_op("}") or t.kind == "eof"):
            self.lx.error(t)

    def statement(self):
        t = self.peek()
        if t.is_op("{"):
            return self.block()
        if t.is_op(";"):
            self.lx.next()
            return ("block", [])
        if t.kind == "kw":
            word = t.value
            if word == "if":
                self.lx.next()
                self.take("op", "(")
                cond = self.expression()
                self.take("op", ")")
                self.newlines()
                then = self.statement()
                self.terminators_before_else()
                if self.peek().kind == "kw" and self.peek().value == "else":
                    self.lx.next()
                    self.newlines()
                    return ("if", cond, then, self.statement())
                return ("if", cond, then, None)
            if word == "while":
                self.lx.next()
                self.take("op", "(")
                cond = self.expression()
                self.take("op", ")")
                if self.peek().is_op(";"):
                    self.lx.next()
                    return ("while", cond, ("block", []))
                self.newlines()
                return ("while", cond, self.statement())
            if word == "do":
                self.lx.next()
                self.newlines()
                body = self.statement()
                self.terminators()
                t = self.take("kw", "while")
                self.take("op", "(")
                cond = self.expression()
                self.take("op", ")")
                self.simple_end()
                return ("do", body, cond)
            if word == "for":
                return self.for_statement()
            if word in ("break", "continue", "next", "nextfile"):
                self.lx.next()
                self.simple_end()
                return (word,)
            if word in ("exit", "return"):
                self.lx.next()
                value = None
                if not (self.peek().is_op(";", "}") or self.peek().kind in ("nl", "eof")):
                    value = self.expression()
                self.simple_end()
                return (word, value)
            if word == "delete":
                self.lx.next()
                name = self.take("name").value
                target = self.variable(name)
                if self.accept_op("["):
                    subs = self.expression_list()
                    self.take("op", "]")
                    self.simple_end()
                    return ("delete", target, subs)
                self.simple_end()
                return ("delete", target, None)
            if word in ("print", "printf"):
                return self.print_statement()
            if word == "getline":
                raise AwkSyntax("line %d: getline is not supported by the simulated awk" % t.line)
        node = self.expression()
        self.simple_end()
        return ("expr", node)

    def terminators_before_else(self):
        """`if (c) x; else y`: a ';' or line ends may come before the else."""
        lx = self.lx
        saved = (lx.pos, lx.line, lx.peeked)
        self.terminators()
        if not (self.peek().kind == "kw" and self.peek().value == "else"):
            lx.pos, lx.line, lx.peeked = saved

    def for_statement(self):
        self.lx.next()
        self.take("op", "(")
        t = self.peek()
        if t.kind == "name":
            lx = self.lx
            saved = (lx.pos, lx.line, lx.peeked)
            name = lx.next().value
            if self.peek().kind == "kw" and self.peek().value == "in":
                lx.next()
                array = self.take("name").value
                if self.accept_op(")"):
                    self.newlines()
                    return ("forin", self.variable(name), self.variable(array), self.statement())
            lx.pos, lx.line, lx.peeked = saved
        init = None if self.peek().is_op(";") else self.simple_statement()
        self.take("op", ";")
        self.newlines()
        cond = None if self.peek().is_op(";") else self.expression()
        self.take("op", ";")
        self.newlines()
        step = None if self.peek().is_op(")") else self.simple_statement()
        self.take("op", ")")
        if self.peek().is_op(";"):
            self.lx.next()
            return ("for", init, cond, step, ("block", []))
        self.newlines()
        return ("for", init, cond, step, self.statement())

    def simple_statement(self):
        return ("expr", self.expression())

    def print_statement(self):
        word = self.lx.next().value
        args = []
        self.no_gt = True
        try:
            t = self.peek()
            if not (t.is_op(";", "}", ">", ">>", "|") or t.kind in ("nl", "eof")):
                if t.is_op("("):
                    # print (a, b) > "f" and print (a)(b) both start with a parenthesis
                    args = self.expression_list()
                else:
                    args = self.expression_list()
        finally:
            self.no_gt = False
        if len(args) == 1 and args[0][0] == "group" and isinstance(args[0][1], list):
            args = args[0][1]
        redirect = None
        t = self.peek()
        if t.is_op(">", ">>", "|"):
            self.lx.next()
            redirect = (t.value, self.concatenation())
        self.simple_end()
        if word == "printf" and not args:
            self.lx.error()
        return (word, args, redirect)

    def expression_list(self):
        items = [self.expression()]
        while self.accept_op(","):
            self.newlines()
            items.append(self.expression())
        return items

    # Expressions, lowest precedence first
    def expression(self):
        left = self.ternary()
        t = self.peek()
        if t.is_op("=", "+=", "-=", "*=", "/=", "%=", "^="):
            if left[0] not in ("var", "field", "index"):
                self.lx.error(t)
            self.lx.next()
            self.newlines()
            return ("assign", t.value, left, self.expression())
        return left

    def ternary(self):
        cond = self.logical_or()
        if self.accept_op("?"):
            self.newlines()
            yes = self.expression()
            self.newlines()
            self.take("op", ":")
            self.newlines()
            return ("cond", cond, yes, self.expression())
        return cond

    def logical_or(self):
        left = self.logical_and()
        while self.accept_op("||"):
            self.newlines()
            left = ("or", left, self.logical_and())
        return left

    def logical_and(self):
        left = self.membership()
        while self.accept_op("&&"):
            self.newlines()
            left = ("and", left, self.membership())
        return left

    def membership(self):
        left = self.matching()
        while not self.no_in and self.peek().kind == "kw" and self.peek().value == "in":
            self.lx.next()
            array = self.variable(self.take("name").value)
            keys = left[1] if left[0] == "group" and isinstance(left[1], list) else [left]
            left = ("in", keys, array)
        return left

    def matching(self):
        left = self.comparison()
        while True:
            t = self.accept_op("~", "!~")
            if not t:
                return left
            right = self.comparison()
            left = ("match", t.value == "!~", left, right)

    def comparison(self):
        left = self.concatenation()
        t = self.peek()
        if t.is_op("<", "<=", "==", "!=", ">=") or (t.is_op(">") and not self.no_gt):
            self.lx.next()
            return ("compare", t.value, left, self.concatenation())
        return left

    def concatenation(self):
        left = self.additive()
        while self.starts_operand():
            left = ("concat", left, self.additive())
        return left

    def starts_operand(self):
        t = self.peek()
        if t.kind in ("num", "str", "name", "funcname", "builtin"):
            return True
        if t.kind == "kw":
            return False
        return t.is_op("$", "(", "++", "--")   # not - or +: `a - 1` subtracts

    def additive(self):
        left = self.multiplicative()
        while True:
            t = self.accept_op("+", "-")
            if not t:
                return left
            left = ("binop", t.value, left, self.multiplicative())

    def multiplicative(self):
        left = self.unary()
        while True:
            t = self.accept_op("*", "/", "%")
            if not t:
                return left
            left = ("binop", t.value, left, self.unary())

    def unary(self):
        t = self.accept_op("!", "-", "+")
        if t:
            operand = self.unary()
            return ("not", operand) if t.value == "!" else ("neg", operand) if t.value == "-" else ("plus", operand)
        return self.power()

    def power(self):
        base = self.increment()
        if self.accept_op("^"):
            t = self.accept_op("-", "+", "!")
            exponent = self.power() if not t else (("neg", self.power()) if t.value == "-" else
                                                    ("plus", self.power()) if t.value == "+" else ("not", self.power()))
            return ("binop", "^", base, exponent)
        return base

    def increment(self):
        t = self.accept_op("++", "--")
        if t:
            target = self.increment()
            if target[0] not in ("var", "field", "index"):
                self.lx.error(t)
            return ("preinc", 1 if t.value == "++" else -1, target)
        value = self.primary()
        if value[0] in ("var", "field", "index"):
            t = self.accept_op("++", "--")
            if t:
                return ("postinc", 1 if t.value == "++" else -1, value)
        return value

    def primary(self):
        t = self.lx.next()
        kind = t.kind
        if kind == "num":
            return ("num", t.value)
        if kind == "str":
            return ("str", t.value)
        if t.is_op("/", "/="):
            return ("regex", compile_regex(self.lx.regex(t)))
        if t.is_op("$"):
            return ("field", self.increment_operand())
        if t.is_op("("):
            saved_gt, saved_in = self.no_gt, self.no_in
            self.no_gt = self.no_in = False
            try:
                self.newlines()
                items = self.expression_list()
                self.newlines()
                self.take("op", ")")
            finally:
                self.no_gt, self.no_in = saved_gt, saved_in
            return ("group", items if len(items) > 1 else items[0])
        if t.is_op("-", "+", "!"):
            operand = self.unary()
            return ("neg", operand) if t.value == "-" else ("plus", operand) if t.value == "+" else ("not", operand)
        if kind == "builtin":
            return self.builtin(t)
        if kind == "funcname":
            self.take("op", "(")
            args = [] if self.peek().is_op(")") else self.call_arguments()
            self.take("op", ")")
            return ("call", t.value, args)
        if kind == "name":
            if self.accept_op("["):
                subs = self.expression_list()
                self.take("op", "]")
                return ("index", self.variable(t.value), subs)
            return self.variable(t.value)
        if kind == "kw" and t.value == "getline":
            raise AwkSyntax("line %d: getline is not supported by the simulated awk" % t.line)
        self.lx.error(t)

    def call_arguments(self):
        saved_gt, saved_in = self.no_gt, self.no_in
        self.no_gt = self.no_in = False
        try:
            self.newlines()
            args = self.expression_list()
            self.newlines()
            return args
        finally:
            self.no_gt, self.no_in = saved_gt, saved_in

    def increment_operand(self):
        """The operand of $: a primary with its ++/-- (so $i++ is ($i)++, $++i works)."""
        t = self.accept_op("++", "--")
        if t:
            target = self.increment_operand()
            return ("preinc", 1 if t.value == "++" else -1, target)
        if self.peek().is_op("-", "+", "!"):
            t = self.lx.next()
            operand = self.increment_operand()
            return ("neg", operand) if t.value == "-" else ("plus", operand) if t.value == "+" else ("not", operand)
        return self.primary()

    def builtin(self, t):
        name = t.value
        if not self.peek().is_op("("):
            if name == "length":
                return ("builtin", "length", [])
            self.lx.error()
        self.lx.next()
        args = [] if self.peek().is_op(")") else self.call_arguments()
        self.take("op", ")")
        return ("builtin", name, args)

    def variable(self, name):
        if self.params is not None and name in self.params:
            return ("var", ("local", self.params.index(name)))
        return ("var", ("global", name))


def parse_program(source):
    try:
        return Parser(source).program()
    except RecursionError:
        raise AwkSyntax("program too deeply nested")
