"""sh's arithmetic, $((...)), as the device's sh (mksh) computes it: 32-bit signed integers
that wrap, C's operators and precedence, variables read and assigned by name."""

import re

TOKEN = re.compile(r"\s*(?:(0[xX][0-9A-Za-z]+|[0-9]+#[0-9A-Za-z@_]+|[0-9][0-9A-Za-z]*)|([A-Za-z_][A-Za-z0-9_]*)|"
                   r"(<<=|>>=|\+\+|--|&&|\|\||<<|>>|<=|>=|==|!=|[-+*/%&^|]=|[-+*/%<>&^|!~?:=(),]))")
BINARY = [   # lowest precedence first
    ("||",), ("&&",), ("|",), ("^",), ("&",), ("==", "!="), ("<", "<=", ">", ">="), ("<<", ">>"), ("+", "-"),
    ("*", "/", "%"),
]
RANK = {op: rank for rank, ops in enumerate(BINARY) for op in ops}
ASSIGN = ("=", "*=", "/=", "%=", "+=", "-=", "<<=", ">>=", "&=", "^=", "|=")
MAX_DEPTH = 64       # parentheses and operators nested inside each other
MAX_NAME_DEPTH = 16
MAX_DIGITS = 4000  # a variable whose value names another variable, and so on


class ArithError(Exception):
    """What sh prints after "EXPRESSION: "."""


def wrap(n):
    n &= 0xFFFFFFFF
    return n - 0x100000000 if n & 0x80000000 else n


def number(text):
    """The value of a literal: decimal, 0x hex, 0 octal or BASE#DIGITS."""
    try:
        if len(text) > MAX_DIGITS:
            raise ValueError
        if "#" in text:
            base, digits = text.split("#", 1)
            base = int(base)
            if not 2 <= base <= 36:
                raise ValueError
            return wrap(int(digits, base))
        if text[:2] in ("0x", "0X"):
            return wrap(int(text[2:], 16))
        if len(text) > 1 and text[0] == "0":
            return wrap(int(text, 8))
        return wrap(int(text, 10))
    except ValueError:
        raise ArithError("bad number '%s'" % text) from None


def evaluate(text, variables, depth=0):
    """The value of the expression; `variables` is the shell's dict, changed by assignments."""
    tokens, pos = [], 0
    text = text.strip()
    while pos < len(text):
        m = TOKEN.match(text, pos)
        if not m or m.end() == pos:
            raise ArithError("unexpected '%s'" % text[pos:].strip()[:1])
        tokens.append(("n", m.group(1)) if m.group(1) else ("v", m.group(2)) if m.group(2) else ("o", m.group(3)))
        pos = m.end()
        while pos < len(text) and text[pos].isspace():
            pos += 1
    if not tokens:
        return 0
    return Evaluator(tokens, variables, depth).run()


class Evaluator:
    def __init__(self, tokens, variables, depth):
        self.tokens, self.vars, self.depth = tokens, variables, depth
        self.i = 0
        self.nesting = 0
        self.skip = 0      # inside the branch of && || ?: that is not taken: no assignments

    def run(self):
        value = self.comma()
        if self.i < len(self.tokens):
            raise ArithError("unexpected '%s'" % self.tokens[self.i][1])
        return value

    def peek(self):
        return self.tokens[self.i] if self.i < len(self.tokens) else ("end", "")

    def op(self, *names):
        kind, value = self.peek()
        if kind == "o" and value in names:
            self.i += 1
            return value
        return None

    def deeper(self):
        self.nesting += 1
        if self.nesting > MAX_DEPTH:
            raise ArithError("expression nested too deeply")

    def comma(self):
        value = self.assignment()
        while self.op(","):
            value = self.assignment()
        return value

    def assignment(self):
        kind, name = self.peek()
        if kind == "v" and self.i + 1 < len(self.tokens) and self.tokens[self.i + 1][0] == "o" \
                and self.tokens[self.i + 1][1] in ASSIGN:
            self.i += 1
            op = self.op(*ASSIGN)
            self.deeper()
            value = self.assignment()
            self.nesting -= 1
            if op != "=":
                value = self.binary(op[:-1], self.variable(name), value)
            if not self.skip:
                self.vars[name] = str(value)
            return value
        return self.conditional()

    def conditional(self):
        cond = self.level(0)
        if not self.op("?"):
            return cond
        self.deeper()
        self.skip += not cond
        yes = self.assignment()
        self.skip -= not cond
        if not self.op(":"):
            raise ArithError("unexpected '%s'" % (self.peek()[1] or "end of expression"))
        self.skip += bool(cond)
        no = self.assignment()
        self.skip -= bool(cond)
        self.nesting -= 1
        return yes if cond else no

    def level(self, lowest):
        """Binary operators of precedence `lowest` or higher (precedence climbing: the
        recursion grows with precedence levels, not with the length of the expression)."""
        left = self.unary()
        while True:
            kind, op = self.peek()
            rank = RANK.get(op) if kind == "o" else None
            if rank is None or rank < lowest:
                return left
            self.i += 1
            if op in ("&&", "||"):
                short = (not left) if op == "&&" else bool(left)
                self.skip += short
                right = self.level(rank + 1)
                self.skip -= short
                left = int(bool(left) and bool(right)) if op == "&&" else int(bool(left) or bool(right))
            else:
                left = self.binary(op, left, self.level(rank + 1))

    def binary(self, op, a, b):
        if op in ("/", "%"):
            if b == 0:
                if self.skip:
                    return 0
                raise ArithError("zero divisor")
            q = abs(a) // abs(b) * (1 if (a < 0) == (b < 0) else -1)    # C truncates toward zero
            return wrap(q if op == "/" else a - q * b)
        if op in ("<<", ">>"):
            b &= 31
            return wrap(a << b) if op == "<<" else a >> b
        table = {"+": lambda: a + b, "-": lambda: a - b, "*": lambda: a * b, "&": lambda: a & b, "^": lambda: a ^ b,
                 "|": lambda: a | b, "==": lambda: int(a == b), "!=": lambda: int(a != b), "<": lambda: int(a < b),
                 "<=": lambda: int(a <= b), ">": lambda: int(a > b), ">=": lambda: int(a >= b)}
        return wrap(table[op]())

    def unary(self):
        op = self.op("+", "-", "!", "~", "++", "--")
        if op is None:
            return self.postfix()
        self.deeper()
        if op in ("++", "--"):
            kind, name = self.peek()
            if kind != "v":
                raise ArithError("%s requires lvalue" % op)
            self.i += 1
            value = wrap(self.variable(name) + (1 if op == "++" else -1))
            if not self.skip:
                self.vars[name] = str(value)
        else:
            value = self.unary()
            value = {"+": value, "-": wrap(-value), "!": int(not value), "~": wrap(~value)}[op]
        self.nesting -= 1
        return value

    def postfix(self):
        kind, value = self.peek()
        if kind == "n":
            self.i += 1
            return number(value)
        if kind == "v":
            self.i += 1
            current = self.variable(value)
            op = self.op("++", "--")
            if op and not self.skip:
                self.vars[value] = str(wrap(current + (1 if op == "++" else -1)))
            return current
        if self.op("("):
            self.deeper()
            inner = self.comma()
            if not self.op(")"):
                raise ArithError("unexpected '%s'" % (self.peek()[1] or "end of expression"))
            self.nesting -= 1
            return inner
        raise ArithError("unexpected %s" % ("'%s'" % value if value else "end of expression"))

    def variable(self, name):
        text = self.vars.get(name, "").strip()
        if not text:
            return 0
        if re.fullmatch(r"-?[0-9]+", text):
            return wrap(-number(text[1:])) if text[0] == "-" else number(text)
        if self.depth >= MAX_NAME_DEPTH:
            raise ArithError("expression recurses on parameter '%s'" % name)
        return evaluate(text, self.vars, self.depth + 1)
