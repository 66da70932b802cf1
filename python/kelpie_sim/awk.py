"""awk, as POSIX describes it: patterns and actions, BEGIN/END, fields ($0, $N, NF, -F, FS,
OFS), NR/FNR/FILENAME, variables (-v, NAME=VALUE operands), arrays, user functions, print
and printf (also into files and commands), the string and number built-ins. No getline.

A program runs under budgets: statements run, string length and call depth, so a loop
that never ends stops with an error rather than holding the simulator's other devices."""

import math
import os
import random
import re
import shlex
import time

from .awk_parse import AwkSyntax, compile_regex, parse_program
from .confine import FsError
from .linefilter import LineFilter, each_input, raw, read_input, reason, run_filter, text
from .posix_regex import RegexBudget
from .printf_format import FormatError, format_string
from .run_budget import OverBudget, RunBudget
from .shell_args import Usage, reports_usage
from .toybox_options import parse_options

STEP_BUDGET = 1_000_000   # statements; about a second of CPython, a fifth of PyPy
TIME_BUDGET = 1.0         # seconds one awk may run
MAX_STRING = 1 << 24
MAX_FIELD = 100_000
MAX_DEPTH = 200
NUMERIC = re.compile(r"[ \t\n]*[-+]?(?:\d+\.?\d*(?:[eE][-+]?\d+)?|\.\d+(?:[eE][-+]?\d+)?)")
WHOLE_NUMBER = re.compile(r"[ \t\n]*[-+]?(?:\d+\.?\d*(?:[eE][-+]?\d+)?|\.\d+(?:[eE][-+]?\d+)?)[ \t\n]*\Z")
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "/": "/", "a": "\a", "b": "\b",
           "f": "\f", "v": "\v"}


class AwkError(Exception):
    """A fatal run-time error: awk says it and ends with status 2."""


class StrNum(str):
    """Text from input (fields, -v values, split pieces): a number when it looks like one."""


UNINIT = StrNum("")


class AwkArray(dict):
    pass


class Unset:
    """An unset variable passed to a function: an array once the function uses it as one."""

    def __init__(self, scope, key):
        self.scope, self.key = scope, key


class Next(Exception):
    pass


class Exit(Exception):
    def __init__(self, code):
        self.code = code


class Break(Exception):
    pass


class Continue(Exception):
    pass


class Return(Exception):
    def __init__(self, value):
        self.value = value


def to_num(v):
    if isinstance(v, float):
        return v
    m = NUMERIC.match(v)
    if not m:
        return 0.0
    try:
        return float(m.group())
    except (ValueError, OverflowError):
        return 0.0


def number_text(v, fmt):
    if math.isfinite(v) and v == int(v) and abs(v) < 1e16:
        return "%d" % v
    if math.isnan(v):
        return "nan" if math.copysign(1, v) > 0 else "-nan"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    try:
        return format_string(fmt, [v], to_num, lambda x: x, lambda x: int(x))[0]
    except (FormatError, ValueError, OverflowError):
        return "%.6g" % v


def looks_numeric(v):
    if isinstance(v, float) or v is UNINIT:
        return True
    return isinstance(v, StrNum) and WHOLE_NUMBER.match(v) is not None


def unescape(value):
    """-v values and NAME=VALUE operands: escape sequences as in a string constant."""
    out, i = [], 0
    while i < len(value):
        ch = value[i]
        if ch == "\\" and i + 1 < len(value):
            m = re.match(r"[0-7]{1,3}", value[i + 1:])
            if m:
                out.append(chr(int(m.group(), 8)))
                i += 1 + m.end()
                continue
            out.append(ESCAPES.get(value[i + 1], "\\" + value[i + 1]))
            i += 2
            continue
        out.append(ch)
        i += 1
    return "".join(out)


class Awk(LineFilter):
    def __init__(self, s, program, assignments):
        self.s, self.prog = s, program
        self.functions = program.functions
        self.globals = {
            "FS": " ", "OFS": " ", "ORS": "\n", "RS": "\n", "NR": 0.0, "FNR": 0.0, "NF": 0.0,
            "SUBSEP": "\x1c", "CONVFMT": "%.6g", "OFMT": "%.6g", "RSTART": 0.0, "RLENGTH": -1.0,
            "FILENAME": "", "ENVIRON": AwkArray((k, StrNum(v)) for k, v in getattr(s, "env", {}).items()),
        }
        self.frames = [[]]
        self.record, self.fields = "", []
        self.budget, self.depth = RunBudget(STEP_BUDGET, TIME_BUDGET), 0
        self.regexes = {}
        self.outputs = {}     # file or command -> [mode, chunks]
        self.exit_code = None
        self.pending = ""
        self.seed = 0.0
        self.random = random.Random(0)
        for name, value in assignments:
            self.globals[name] = StrNum(unescape(value))
        self.statements = {
            "block": self.x_block, "expr": self.x_expr, "print": self.x_print, "printf": self.x_printf,
            "if": self.x_if, "while": self.x_while, "do": self.x_do, "for": self.x_for, "forin": self.x_forin,
            "break": self.x_break, "continue": self.x_continue, "next": self.x_next, "nextfile": self.x_next,
            "exit": self.x_exit, "return": self.x_return, "delete": self.x_delete,
        }
        self.expressions = {
            "num": lambda n: n[1], "str": lambda n: n[1], "regex": self.e_regex, "var": self.e_var,
            "field": self.e_field, "index": self.e_index, "group": self.e_group, "assign": self.e_assign,
            "cond": self.e_cond, "or": self.e_or, "and": self.e_and, "in": self.e_in, "match": self.e_match,
            "compare": self.e_compare, "concat": self.e_concat, "binop": self.e_binop, "not": self.e_not,
            "neg": lambda n: -self.num(n[1]), "plus": lambda n: self.num(n[1]), "preinc": self.e_preinc,
            "postinc": self.e_postinc, "call": self.e_call, "builtin": self.e_builtin,
        }

    # Values
    def string(self, v):
        if isinstance(v, float):
            return number_text(v, self.globals["CONVFMT"] if isinstance(self.globals["CONVFMT"], str) else "%.6g")
        if isinstance(v, AwkArray):
            raise AwkError("can't use array in scalar context")
        return v

    def output_text(self, v):
        if isinstance(v, float):
            return number_text(v, self.string(self.globals["OFMT"]))
        return self.string(v)

    def num(self, node):
        return to_num(self.scalar(self.eval(node)))

    def scalar(self, v):
        if isinstance(v, AwkArray):
            raise AwkError("can't use array in scalar context")
        if isinstance(v, Unset):
            return UNINIT
        return v

    def truth(self, v):
        v = self.scalar(v)
        if isinstance(v, float):
            return v != 0
        if isinstance(v, StrNum) and looks_numeric(v):
            return to_num(v) != 0
        return v != ""

    def regex(self, node):
        if node[0] == "regex":
            return node[1]
        pattern = self.string(self.scalar(self.eval(node)))
        found = self.regexes.get(pattern)
        if found is None:
            try:
                found = compile_regex(pattern)
            except AwkSyntax as e:
                raise AwkError(str(e))
            if len(self.regexes) > 500:
                self.regexes.clear()
            self.regexes[pattern] = found
        return found

    def search(self, regex, value, pos=0):
        try:
            return regex.search(value, pos)
        except RegexBudget:
            raise AwkError("regular expression too slow for this input")

    def tick(self):
        try:
            self.budget.tick()
        except OverBudget:
            raise AwkError("program ran too long")

    def checked(self, value):
        if len(value) > MAX_STRING:
            raise AwkError("string too long")
        return value

    # Records and fields
    def set_record(self, value):
        self.record, self.fields = value, None

    def split_record(self):
        if self.fields is None:
            self.fields = self.split(self.record, self.globals["FS"], paragraph=self.string(self.globals["RS"]) == "")
            self.globals["NF"] = float(len(self.fields))
        return self.fields

    def split(self, value, fs, paragraph=False):
        fs = self.string(self.scalar(fs))
        if fs == " ":
            return [StrNum(f) for f in re.split(r"[ \t\n]+", value.strip(" \t\n"))] if value.strip(" \t\n") else []
        if value == "":
            return []
        if len(fs) == 1 and fs != "\\":
            pieces = value.split(fs)
        elif fs == "":
            pieces = list(value)
        else:
            pieces = self._split_regex(value, self.regex(("str", fs)))
        if paragraph and fs != " ":
            pieces = [p for piece in pieces for p in piece.split("\n")]
        return [StrNum(p) for p in pieces]

    def get_field(self, index):
        if index == 0:
            return StrNum(self.record)
        fields = self.split_record()
        return fields[index - 1] if index <= len(fields) else UNINIT

    def field_index(self, node):
        value = self.num(node)
        if not math.isfinite(value) or value < 0:
            raise AwkError("trying to access out of range field %s" % number_text(value, "%.6g"))
        if value > MAX_FIELD:
            raise AwkError("field index %d too large" % value)
        return int(value)

    def set_field(self, index, value):
        if index == 0:
            self.set_record(self.checked(self.string(value)))
            return
        fields = self.split_record()
        while len(fields) < index:
            fields.append(UNINIT)
        fields[index - 1] = value
        self.rebuild()

    def rebuild(self):
        ofs = self.string(self.globals["OFS"])
        self.record = self.checked(ofs.join(self.string(f) for f in self.fields))
        self.globals["NF"] = float(len(self.fields))

    def set_nf(self, value):
        n = int(to_num(value))
        if n < 0 or n > MAX_FIELD:
            raise AwkError("NF set to a bad value %d" % n)
        fields = self.split_record()
        del fields[n:]
        while len(fields) < n:
            fields.append(UNINIT)
        self.rebuild()

    # Variables
    def lookup(self, ref):
        scope, key = ref
        if scope == "global":
            if key == "NF":
                self.split_record()
            return self.globals.get(key, UNINIT)
        frame = self.frames[-1]
        return frame[key] if key < len(frame) else UNINIT

    def store(self, ref, value):
        scope, key = ref
        if isinstance(self.lookup(ref), AwkArray):
            raise AwkError("can't assign to %s; it's an array name." % (key if scope == "global" else "a parameter"))
        if scope == "global":
            if key == "NF":
                self.globals["NF"] = value
                self.set_nf(value)
                return
            self.globals[key] = value
        else:
            self.frames[-1][key] = value

    def array(self, ref):
        scope, key = ref
        current = self.lookup(ref)
        if isinstance(current, AwkArray):
            return current
        if isinstance(current, Unset):
            made = AwkArray()
            current.scope[current.key] = made
            self.frames[-1][key] = made
            return made
        if current is not UNINIT:
            raise AwkError("can't use scalar %s as array" % (key if scope == "global" else "parameter"))
        made = AwkArray()
        if scope == "global":
            self.globals[key] = made
        else:
            self.frames[-1][key] = made
        return made

    def subscript(self, subs):
        return self.string(self.globals["SUBSEP"]).join(self.string(self.scalar(self.eval(n))) for n in subs)

    # Statements
    def run_block(self, node):
        self.statements[node[0]](node)

    def x_block(self, node):
        for statement in node[1]:
            self.tick()
            self.statements[statement[0]](statement)

    def x_expr(self, node):
        self.eval(node[1])

    def x_if(self, node):
        if self.truth(self.eval(node[1])):
            self.run_block(node[2])
        elif node[3] is not None:
            self.run_block(node[3])

    def loop_body(self, body):
        self.tick()
        try:
            self.run_block(body)
        except Continue:
            pass

    def x_while(self, node):
        try:
            while self.truth(self.eval(node[1])):
                self.loop_body(node[2])
        except Break:
            pass

    def x_do(self, node):
        try:
            while True:
                self.loop_body(node[1])
                if not self.truth(self.eval(node[2])):
                    break
        except Break:
            pass

    def x_for(self, node):
        _, init, cond, step, body = node
        if init is not None:
            self.run_block(init)
        try:
            while cond is None or self.truth(self.eval(cond)):
                self.loop_body(body)
                if step is not None:
                    self.run_block(step)
        except Break:
            pass

    def x_forin(self, node):
        _, var, array, body = node
        try:
            for key in list(self.array(array[1])):
                self.store(var[1], StrNum(key))
                self.loop_body(body)
        except Break:
            pass

    def x_break(self, node):
        raise Break()

    def x_continue(self, node):
        raise Continue()

    def x_next(self, node):
        raise Next()

    def x_exit(self, node):
        raise Exit(int(self.num(node[1])) & 0xFF if node[1] is not None else None)

    def x_return(self, node):
        raise Return(self.scalar(self.eval(node[1])) if node[1] is not None else UNINIT)

    def x_delete(self, node):
        array = self.array(node[1][1])
        if node[2] is None:
            array.clear()
        else:
            array.pop(self.subscript(node[2]), None)

    def x_print(self, node):
        _, args, redirect = node
        if args:
            values = [self.output_text(self.scalar(self.eval(a))) for a in args]
        else:
            values = [self.record]
        line = self.string(self.globals["OFS"]).join(values) + self.string(self.globals["ORS"])
        self.write(self.checked(line), redirect)

    def x_printf(self, node):
        _, args, redirect = node
        values = [self.scalar(self.eval(a)) for a in args]
        self.write(self.checked(self.format(values[0], values[1:])), redirect)

    def format(self, fmt, values):
        try:
            out, _used = format_string(self.string(fmt), values, to_num, self.output_text,
                                       lambda v: int(to_num(v)) if math.isfinite(to_num(v)) else 0)
        except FormatError as e:
            raise AwkError("bad conversion in format: %s" % e)
        except (ValueError, OverflowError, MemoryError):
            raise AwkError("bad format")
        return out

    def write(self, data, redirect):
        if redirect is None:
            self.s.say(data)
            return
        kind, target = redirect
        name = self.string(self.scalar(self.eval(target)))
        if name in ("/dev/stdout", "-") and kind != "|":
            self.s.say(data)
            return
        if name == "/dev/stderr" and kind != "|":
            self.s.say(data)
            return
        entry = self.outputs.setdefault((kind == "|", name), [kind, []])
        entry[1].append(data)
        if sum(len(c) for c in entry[1][-2:]) > MAX_STRING:
            raise AwkError("output to %s too long" % name)

    def close_output(self, key):
        kind, chunks = self.outputs.pop(key)
        piped, name = key
        data = raw("".join(chunks))
        if piped:
            try:
                argv = shlex.split(name)
            except ValueError:
                argv = []
            if not argv:
                return 1
            return self.s.run(argv, stdin=data)
        try:
            dev, host = self.s.resolve(name)
            self.s.fs.check_write(dev)
            fd = self.s.fs.open_write(host, append=(kind == ">>"))
            with os.fdopen(fd, "wb") as f:
                f.write(data)
        except (OSError, FsError) as e:
            self.s.err("awk", "%s: %s" % (name, reason(e)))
            return 1
        return 0

    # Expressions
    def eval(self, node):
        return self.expressions[node[0]](node)

    def e_regex(self, node):
        return 1.0 if self.search(node[1], self.record) is not None else 0.0

    def e_var(self, node):
        return self.lookup(node[1])

    def e_field(self, node):
        return self.get_field(self.field_index(node[1]))

    def e_index(self, node):
        array = self.array(node[1][1])
        key = self.subscript(node[2])
        if key not in array:
            array[key] = UNINIT
        return array[key]

    def e_group(self, node):
        if isinstance(node[1], list):
            raise AwkError("a list (a, b) is only for `in` and print")
        return self.eval(node[1])

    def assign_to(self, target, value):
        kind = target[0]
        if kind == "var":
            self.store(target[1], value)
        elif kind == "field":
            self.set_field(self.field_index(target[1]), value)
        else:
            array = self.array(target[1][1])
            array[self.subscript(target[2])] = value
        return value

    def current(self, target):
        return self.scalar(self.eval(target))

    def e_assign(self, node):
        _, op, target, value_node = node
        if op == "=":
            value = self.scalar(self.eval(value_node))
            if isinstance(value, str):
                value = self.checked(value)
            return self.assign_to(target, value)
        value = self.num(value_node)
        old = to_num(self.current(target))
        return self.assign_to(target, self.arith(op[0], old, value))

    def arith(self, op, a, b):
        try:
            if op == "+":
                return a + b
            if op == "-":
                return a - b
            if op == "*":
                return a * b
            if op == "/":
                if b == 0:
                    raise AwkError("division by zero")
                return a / b
            if op == "%":
                if b == 0:
                    raise AwkError("division by zero in %")
                return math.fmod(a, b)
            try:
                result = a ** b
            except ZeroDivisionError:
                return math.inf
            return float(result.real) if isinstance(result, complex) else float(result)
        except OverflowError:
            return math.inf

    def e_cond(self, node):
        return self.eval(node[2]) if self.truth(self.eval(node[1])) else self.eval(node[3])

    def e_or(self, node):
        return 1.0 if self.truth(self.eval(node[1])) or self.truth(self.eval(node[2])) else 0.0

    def e_and(self, node):
        return 1.0 if self.truth(self.eval(node[1])) and self.truth(self.eval(node[2])) else 0.0

    def e_in(self, node):
        key = self.subscript(node[1])
        return 1.0 if key in self.array(node[2][1]) else 0.0

    def e_match(self, node):
        value = self.string(self.scalar(self.eval(node[2])))
        found = self.search(self.regex(node[3]), value) is not None
        return 1.0 if found != node[1] else 0.0

    def e_compare(self, node):
        _, op, left, right = node
        a, b = self.scalar(self.eval(left)), self.scalar(self.eval(right))
        if looks_numeric(a) and looks_numeric(b):
            x, y = to_num(a), to_num(b)
        else:
            x, y = self.string(a), self.string(b)
        result = {"<": x < y, "<=": x <= y, "==": x == y, "!=": x != y, ">": x > y, ">=": x >= y}[op]
        return 1.0 if result else 0.0

    def e_concat(self, node):
        return self.checked(self.string(self.scalar(self.eval(node[1]))) + self.string(self.scalar(self.eval(node[2]))))

    def e_binop(self, node):
        return self.arith(node[1], self.num(node[2]), self.num(node[3]))

    def e_not(self, node):
        return 0.0 if self.truth(self.eval(node[1])) else 1.0

    def e_preinc(self, node):
        value = to_num(self.current(node[2])) + node[1]
        return self.assign_to(node[2], value)

    def e_postinc(self, node):
        old = to_num(self.current(node[2]))
        self.assign_to(node[2], old + node[1])
        return old

    def e_call(self, node):
        _, name, args = node
        if name not in self.functions:
            raise AwkError("calling undefined function %s" % name)
        params, body = self.functions[name]
        if len(args) > len(params):
            raise AwkError("function %s called with %d args, accepts only %d" % (name, len(args), len(params)))
        frame = []
        for arg in args:
            if arg[0] == "var":
                value = self.lookup(arg[1])
                if isinstance(value, AwkArray):
                    frame.append(value)
                    continue
                if value is UNINIT and not (arg[1][0] == "global" and arg[1][1] in self.globals):
                    scope = self.globals if arg[1][0] == "global" else self.frames[-1]
                    frame.append(Unset(scope, arg[1][1]))
                    continue
                if isinstance(value, Unset):
                    frame.append(value)
                    continue
            frame.append(self.scalar(self.eval(arg)))
        frame += [UNINIT] * (len(params) - len(frame))
        if self.depth >= MAX_DEPTH:
            raise AwkError("function call nesting too deep")
        self.depth += 1
        self.frames.append(frame)
        self.tick()
        try:
            self.run_block(body)
            return UNINIT
        except Return as r:
            return r.value
        finally:
            self.frames.pop()
            self.depth -= 1

    def e_builtin(self, node):
        _, name, args = node
        return getattr(self, "b_" + name)(args)

    def want(self, name, args, low, high):
        if not low <= len(args) <= high:
            raise AwkError("function %s called with %d arguments" % (name, len(args)))

    def b_length(self, args):
        self.want("length", args, 0, 1)
        if not args:
            return float(len(self.record))
        if args[0][0] == "var":
            value = self.lookup(args[0][1])
            if isinstance(value, AwkArray):
                return float(len(value))
        return float(len(self.string(self.scalar(self.eval(args[0])))))

    def b_substr(self, args):
        self.want("substr", args, 2, 3)
        value = self.string(self.scalar(self.eval(args[0])))
        start = self.num(args[1])
        length = self.num(args[2]) if len(args) == 3 else math.inf
        if math.isnan(start) or math.isnan(length):
            return ""
        # characters m..m+n-1 (1-based), both rounded, clipped to the string
        first = _round(start)
        last = first + _round(length) if math.isfinite(length) and math.isfinite(first) else math.inf
        if not math.isfinite(first):
            first = -math.inf if first < 0 else math.inf
        lo = max(first, 1)
        hi = min(last, len(value) + 1)
        if hi <= lo:
            return ""
        return value[int(lo) - 1:int(hi) - 1]

    def b_index(self, args):
        self.want("index", args, 2, 2)
        value, part = (self.string(self.scalar(self.eval(a))) for a in args)
        return float(value.find(part) + 1)

    def b_split(self, args):
        self.want("split", args, 2, 3)
        value = self.string(self.scalar(self.eval(args[0])))
        if args[1][0] != "var":
            raise AwkError("split: second argument is not an array")
        array = self.array(args[1][1])
        if len(args) == 3:
            if args[2][0] == "regex":
                pieces = self._split_regex(value, args[2][1])
            else:
                pieces = self.split(value, self.scalar(self.eval(args[2])))
        else:
            pieces = self.split(value, self.globals["FS"])
        array.clear()
        for i, piece in enumerate(pieces, 1):
            array[str(i)] = StrNum(piece)
        return float(len(pieces))

    def _split_regex(self, value, regex):
        if value == "":
            return []
        pieces, pos, start = [], 0, 0
        while pos <= len(value):
            m = self.search(regex, value, pos)
            if m is None:
                break
            if m.end() == m.start():
                pos = m.end() + 1
                continue
            pieces.append(value[start:m.start()])
            start = pos = m.end()
        pieces.append(value[start:])
        return pieces

    def substitute(self, args, every):
        name = "gsub" if every else "sub"
        self.want(name, args, 2, 3)
        regex = self.regex(args[0])
        replacement = self.string(self.scalar(self.eval(args[1])))
        target = args[2] if len(args) == 3 else ("field", ("num", 0.0))
        if target[0] not in ("var", "field", "index"):
            raise AwkError("%s: third argument is not a variable" % name)
        value = self.string(self.current(target))
        out, pos, count, previous_end = [], 0, 0, -1
        while pos <= len(value):
            m = self.search(regex, value, pos)
            if m is None:
                break
            start, end = m.span()
            if start == end == previous_end:
                if start < len(value):
                    out.append(value[start])
                pos = start + 1
                continue
            out.append(value[pos:start])
            out.append(_replace(replacement, m.group()))
            count += 1
            previous_end = end
            if end == start:
                if start < len(value):
                    out.append(value[start])
                pos = end + 1
            else:
                pos = end
            if not every:
                break
            self.tick()
        if count:
            out.append(value[pos:])
            self.assign_to(target, self.checked("".join(out)))
        return float(count)

    def b_sub(self, args):
        return self.substitute(args, False)

    def b_gsub(self, args):
        return self.substitute(args, True)

    def b_match(self, args):
        self.want("match", args, 2, 2)
        value = self.string(self.scalar(self.eval(args[0])))
        m = self.search(self.regex(args[1]), value)
        start, length = (m.start() + 1, m.end() - m.start()) if m else (0, -1)
        self.globals["RSTART"], self.globals["RLENGTH"] = float(start), float(length)
        return float(start)

    def b_sprintf(self, args):
        if not args:
            raise AwkError("function sprintf called with 0 arguments")
        values = [self.scalar(self.eval(a)) for a in args]
        return self.checked(self.format(values[0], values[1:]))

    def _math(self, args, fn, name):
        self.want(name, args, 1, 1)
        try:
            return float(fn(self.num(args[0])))
        except (ValueError, OverflowError):
            return math.nan

    def b_sin(self, args):
        return self._math(args, math.sin, "sin")

    def b_cos(self, args):
        return self._math(args, math.cos, "cos")

    def b_exp(self, args):
        try:
            return self._math(args, math.exp, "exp")
        except OverflowError:
            return math.inf

    def b_log(self, args):
        self.want("log", args, 1, 1)
        x = self.num(args[0])
        return -math.inf if x == 0 else math.nan if x < 0 or math.isnan(x) else math.log(x)

    def b_sqrt(self, args):
        self.want("sqrt", args, 1, 1)
        x = self.num(args[0])
        return math.nan if x < 0 or math.isnan(x) else math.sqrt(x)

    def b_int(self, args):
        self.want("int", args, 1, 1)
        x = self.num(args[0])
        return float(math.trunc(x)) if math.isfinite(x) else x

    def b_atan2(self, args):
        self.want("atan2", args, 2, 2)
        return math.atan2(self.num(args[0]), self.num(args[1]))

    def b_rand(self, args):
        self.want("rand", args, 0, 0)
        return self.random.random()

    def b_srand(self, args):
        self.want("srand", args, 0, 1)
        previous = self.seed
        self.seed = self.num(args[0]) if args else float(int(time.time()))
        self.random.seed(self.seed)
        return previous

    def b_tolower(self, args):
        self.want("tolower", args, 1, 1)
        return self.string(self.scalar(self.eval(args[0]))).lower()

    def b_toupper(self, args):
        self.want("toupper", args, 1, 1)
        return self.string(self.scalar(self.eval(args[0]))).upper()

    def b_system(self, args):
        self.want("system", args, 1, 1)
        try:
            argv = shlex.split(self.string(self.scalar(self.eval(args[0]))))
        except ValueError:
            return 2.0
        self.flush_outputs()
        return float(self.s.run(argv)) if argv else 0.0

    def b_close(self, args):
        self.want("close", args, 1, 1)
        name = self.string(self.scalar(self.eval(args[0])))
        status = -1.0
        for key in [k for k in self.outputs if k[1] == name]:
            status = float(self.close_output(key))
        return status

    def b_fflush(self, args):
        return 0.0

    def flush_outputs(self):
        status = 0
        for key in list(self.outputs):
            status = max(status, self.close_output(key))
        return status

    # Running
    def run_begin(self):
        """Runs the BEGIN actions; whether input is to be read."""
        self.budget.restart()
        try:
            for block in self.prog.begin:
                self.run_block(block)
        except Exit as e:
            self.exit_code = e.code or 0
            return False
        except Next:
            raise AwkError("next used in BEGIN or END")
        return bool(self.prog.rules or self.prog.end)

    def feed(self, line):
        if self.done:
            return
        rs = self.string(self.globals["RS"])
        if rs == "\n" and not self.pending:
            self.record_in(text(line[:-1] if line.endswith(b"\n") else line))
            return
        self.pending += text(line)
        self.split_pending(final=False)

    def split_pending(self, final):
        rs = self.string(self.globals["RS"])
        while not self.done:
            if rs == "":
                m = re.search(r"\n\n+", self.pending.lstrip("\n"))
                body = self.pending.lstrip("\n")
                if m is None:
                    if final and body:
                        self.pending = ""
                        self.record_in(body.rstrip("\n"))
                    self.pending = body if not final else ""
                    return
                self.pending = body[m.end():]
                self.record_in(body[:m.start()])
                continue
            if len(rs) == 1:
                k = self.pending.find(rs)
                if k < 0:
                    if final and self.pending:
                        rest, self.pending = self.pending, ""
                        self.record_in(rest)
                    return
                record, self.pending = self.pending[:k], self.pending[k + 1:]
                self.record_in(record)
                continue
            m = self.search(self.regex(("str", rs)), self.pending)
            if m is None or m.end() == m.start():
                if final and self.pending:
                    rest, self.pending = self.pending, ""
                    self.record_in(rest)
                return
            record, self.pending = self.pending[:m.start()], self.pending[m.end():]
            self.record_in(record)

    def record_in(self, record):
        self.budget.restart()
        self.set_record(record)
        self.globals["NR"] = to_num(self.scalar(self.globals["NR"])) + 1
        self.globals["FNR"] = to_num(self.scalar(self.globals["FNR"])) + 1
        try:
            for rule in self.prog.rules:
                pattern, second, action, _ = rule
                if pattern is None:
                    selected = True
                elif second is None:
                    selected = self.truth(self.eval(pattern))
                elif rule[3]:
                    selected = True
                    if self.truth(self.eval(second)):
                        rule[3] = False
                else:
                    selected = self.truth(self.eval(pattern))
                    if selected and not self.truth(self.eval(second)):
                        rule[3] = True
                if not selected:
                    continue
                if action is None:
                    self.s.say(self.record + self.string(self.globals["ORS"]))
                else:
                    self.run_block(action)
        except Next:
            pass
        except Exit as e:
            self.exit_code = e.code if e.code is not None else 0
            self.done = True

    def finish(self):
        self.budget.restart()
        try:
            if self.pending and not self.done:
                self.split_pending(final=True)
            if self.exit_code is None or self.prog.end:
                self.budget.restart()
                try:
                    for block in self.prog.end:
                        self.run_block(block)
                except Exit as e:
                    if e.code is not None:
                        self.exit_code = e.code
                except Next:
                    raise AwkError("next used in BEGIN or END")
        except (AwkError, Break, Continue, Return, RecursionError) as e:
            return self.fatal(e)
        status = self.flush_outputs()
        return self.exit_code if self.exit_code is not None else status

    def fatal(self, e):
        self.flush_outputs()
        message = str(e) if isinstance(e, AwkError) else "function call nesting too deep" if isinstance(
            e, RecursionError) else "break or continue outside a loop" if isinstance(
            e, (Break, Continue)) else "return outside a function"
        self.s.err("awk", message)
        return 2


def _round(x):
    if not math.isfinite(x):
        return x
    return float(math.floor(x + 0.5)) if x - math.floor(x) != 0.5 else float(round(x))


def _replace(replacement, matched):
    """sub/gsub's replacement: & is the match, \\& a literal &, \\\\ a backslash."""
    out, i = [], 0
    while i < len(replacement):
        ch = replacement[i]
        if ch == "\\" and i + 1 < len(replacement) and replacement[i + 1] in "&\\":
            out.append(replacement[i + 1])
            i += 2
            continue
        out.append(matched if ch == "&" else ch)
        i += 1
    return "".join(out)


class Guarded(LineFilter):
    """The running program, its run-time errors told as awk's and ending it with status 2."""

    def __init__(self, awk):
        self.awk = awk
        self.status = None

    @property
    def done(self):
        return self.status is not None or self.awk.done

    def feed(self, line):
        if self.done:
            return
        try:
            self.awk.feed(line)
        except (AwkError, Break, Continue, Return, RecursionError) as e:
            self.status = self.awk.fatal(e)

    def finish(self):
        if self.status is not None:
            return self.status
        return self.awk.finish()


ASSIGNMENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*=")


def start_awk(s, args):
    found, rest = parse_options("awk", args, "", "Fvf", stop_at_first=True)
    sources = []
    for path in found.get("f", []):
        try:
            sources.append(text(read_input(s, path)))
        except (OSError, FsError) as e:
            raise Usage("awk", "%s: %s" % (path, reason(e)), status=2)
    if not sources:
        if not rest:
            raise Usage("awk", "usage: awk [-F sep] [-v var=value] [prog | -f progfile] [file ...]", status=2)
        sources.append(rest.pop(0))
    assignments = []
    for value in found.get("v", []):
        if not ASSIGNMENT.match(value):
            raise Usage("awk", "improper assignment: -v %s" % value, status=2)
        name, _, v = value.partition("=")
        assignments.append((name, v))
    try:
        program = parse_program("\n".join(sources))
    except AwkSyntax as e:
        raise Usage("awk", str(e), status=2)
    awk = Awk(s, program, assignments)
    if "F" in found:
        fs = found["F"][-1]
        awk.globals["FS"] = "\t" if fs == "t" else unescape(fs)
    guarded = Guarded(awk)
    try:
        reads = awk.run_begin()
    except (AwkError, Break, Continue, Return, RecursionError) as e:
        return awk.fatal(e)
    if not reads:
        return guarded.finish()
    operands = [a for a in rest]
    files = [a for a in operands if not ASSIGNMENT.match(a)]
    if not files:
        for a in operands:
            name, _, v = a.partition("=")
            awk.globals[name] = StrNum(unescape(v))
        return guarded
    status = 0
    for a in operands:
        if ASSIGNMENT.match(a):
            name, _, v = a.partition("=")
            awk.globals[name] = StrNum(unescape(v))
            continue
        for path, data in each_input(s, "awk", [a]):
            if path is None:
                status = max(status, data * 2)
                break
            awk.globals["FILENAME"], awk.globals["FNR"] = path, 0.0
            for piece in data.splitlines(keepends=True):
                if guarded.done:
                    break
                guarded.feed(piece)
        if guarded.done:
            break
    result = guarded.finish()
    return result if result else status


def sh_awk(s, args):
    return run_filter(s, args, start_awk)


COMMANDS = {"awk": sh_awk}
FILTERS = {"awk": reports_usage(start_awk)}
