"""toybox's find: walks device folders (never following links) and evaluates its expression
on each entry: -name -iname -path -ipath -type -size -mtime -mmin -newer -empty -perm -true
-false, the actions -print -print0 -exec ... {} ; / + -delete -prune, the operators ! -not
-a -and -o -or ( ), and the options -maxdepth -mindepth -depth."""

import fnmatch
import os
import stat
import time

from .confine import FsError
from .linefilter import reason
from .shell_args import Usage, number, reports_usage, whole_number

TESTS_WITH_VALUE = {"-name", "-iname", "-path", "-ipath", "-wholename", "-type", "-size", "-mtime", "-mmin",
                    "-newer", "-perm", "-user", "-group", "-links", "-inum"}
TESTS_ALONE = {"-print", "-print0", "-delete", "-prune", "-true", "-false", "-empty", "-quit"}
OPTIONS_WITH_VALUE = {"-maxdepth", "-mindepth"}
OPTIONS_ALONE = {"-depth", "-xdev", "-mount", "-follow", "-H", "-L", "-P", "-d"}
ACTIONS = {"-print", "-print0", "-exec", "-execdir", "-ok", "-delete", "-quit"}
MAX_BATCH = 1000     # paths one -exec ... {} + runs with


class Quit(Exception):
    pass


class Expression:
    """The parsed expression: nodes ("and", a, b), ("or", a, b), ("not", a), (test, value)."""

    def __init__(self, words):
        self.words, self.i = words, 0
        self.options = {"maxdepth": None, "mindepth": 0, "depth": False}
        self.has_action = False
        self.batches = []

    def word(self):
        return self.words[self.i] if self.i < len(self.words) else None

    def parse(self):
        if not self.words:
            return None
        node = self.or_expr()
        if self.i < len(self.words):
            raise Usage("find", "bad arg '%s'" % self.words[self.i])
        return node

    def or_expr(self):
        left = self.and_expr()
        while self.word() in ("-o", "-or"):
            self.i += 1
            left = ("or", left, self.and_expr())
        return left

    def and_expr(self):
        left = self.unary()
        while self.word() is not None and self.word() not in ("-o", "-or", ")"):
            if self.word() in ("-a", "-and"):
                self.i += 1
            left = ("and", left, self.unary())
        return left

    def unary(self):
        w = self.word()
        if w in ("!", "-not"):
            self.i += 1
            return ("not", self.unary())
        if w == "(":
            self.i += 1
            node = self.or_expr()
            if self.word() != ")":
                raise Usage("find", "Missing ')'")
            self.i += 1
            return node
        return self.primary()

    def primary(self):
        w = self.word()
        if w is None:
            raise Usage("find", "Missing argument")
        self.i += 1
        if w in ACTIONS:
            self.has_action = True
        if w in OPTIONS_WITH_VALUE:
            value = self.value(w)
            self.options[w[1:]] = number("find", value)
            return ("-true", None)
        if w in OPTIONS_ALONE:
            if w in ("-depth", "-d"):
                self.options["depth"] = True
            return ("-true", None)
        if w in TESTS_ALONE:
            if w == "-delete":
                self.options["depth"] = True
            return (w, None)
        if w in TESTS_WITH_VALUE:
            value = self.value(w)
            return (w, self.checked(w, value))
        if w in ("-exec", "-execdir", "-ok"):
            argv = []
            while self.word() not in (";", "+"):
                if self.word() is None:
                    raise Usage("find", "'%s' needs ';'" % w)
                argv.append(self.word())
                self.i += 1
            end = self.word()
            self.i += 1
            if not argv:
                raise Usage("find", "'%s' needs a command" % w)
            if end == "+":
                if argv[-1] != "{}":
                    raise Usage("find", "'%s ... +' needs {} last" % w)
                batch = []
                self.batches.append((argv[:-1], batch))
                return ("-exec+", (argv[:-1], batch))
            return ("-exec", argv)
        raise Usage("find", "bad arg '%s'" % w)

    def value(self, w):
        v = self.word()
        if v is None:
            raise Usage("find", "'%s' needs 1 arg" % w)
        self.i += 1
        return v

    def checked(self, w, value):
        if w == "-type":
            if not value or any(ch not in "fdlbcps," for ch in value):
                raise Usage("find", "bad -type '%s'" % value)
        elif w in ("-size", "-mtime", "-mmin", "-links", "-inum"):
            digits = value.lstrip("+-")
            unit = ""
            if w == "-size" and digits[-1:] in ("c", "k", "M", "G", "b", "w"):
                digits, unit = digits[:-1], digits[-1]
            if whole_number(digits) is None:
                raise Usage("find", "bad %s '%s'" % (w, value))
            return (value[:1] if value[:1] in "+-" else "", whole_number(digits), unit)
        elif w == "-perm":
            mode = value.lstrip("-/")
            if not mode or any(ch not in "01234567" for ch in mode) or len(mode) > 5:
                raise Usage("find", "bad -perm '%s'" % value)
            return (value[:1] if value[:1] in "-/" else "", int(mode, 8))
        return value


def _compare(spec, actual):
    sign, n, _unit = spec
    return actual > n if sign == "+" else actual < n if sign == "-" else actual == n


class Finder:
    def __init__(self, s, expr, tree):
        self.s, self.expr, self.tree = s, expr, tree
        self.status = 0
        self.now = time.time()

    def test(self, node, path, dev, host, st, depth):
        kind = node[0]
        if kind == "and":
            return self.test(node[1], path, dev, host, st, depth) and self.test(node[2], path, dev, host, st, depth)
        if kind == "or":
            return self.test(node[1], path, dev, host, st, depth) or self.test(node[2], path, dev, host, st, depth)
        if kind == "not":
            return not self.test(node[1], path, dev, host, st, depth)
        value = node[1]
        name = os.path.basename(path.rstrip("/")) or path
        if kind == "-true":
            return True
        if kind == "-false":
            return False
        if kind in ("-name", "-iname"):
            return fnmatch.fnmatchcase(name.lower() if kind == "-iname" else name,
                                       value.lower() if kind == "-iname" else value)
        if kind in ("-path", "-wholename", "-ipath"):
            return fnmatch.fnmatchcase(path.lower() if kind == "-ipath" else path,
                                       value.lower() if kind == "-ipath" else value)
        if kind == "-type":
            mode = st.st_mode
            letter = ("f" if stat.S_ISREG(mode) else "d" if stat.S_ISDIR(mode) else "l" if stat.S_ISLNK(mode) else
                      "b" if stat.S_ISBLK(mode) else "c" if stat.S_ISCHR(mode) else "p" if stat.S_ISFIFO(mode) else
                      "s" if stat.S_ISSOCK(mode) else "?")
            return letter in value
        if kind == "-size":
            unit = {"c": 1, "w": 2, "k": 1024, "M": 1 << 20, "G": 1 << 30}.get(value[2], 512)
            return _compare(value, (st.st_size + unit - 1) // unit)
        if kind == "-mtime":
            return _compare(value, int((self.now - st.st_mtime) // 86400))
        if kind == "-mmin":
            return _compare(value, int((self.now - st.st_mtime) // 60))
        if kind == "-links":
            return _compare(value, st.st_nlink)
        if kind == "-inum":
            return _compare(value, st.st_ino)
        if kind == "-newer":
            try:
                _d, other = self.s.resolve(value)
                return st.st_mtime > os.stat(other).st_mtime
            except (OSError, FsError):
                raise Usage("find", "%s: No such file or directory" % value)
        if kind == "-perm":
            how, mode = value
            bits = stat.S_IMODE(st.st_mode)
            return (bits & mode) == mode if how == "-" else bool(bits & mode) or not mode if how == "/" else bits == mode
        if kind in ("-user", "-group"):
            return value in ("root", "0")
        if kind == "-empty":
            if stat.S_ISDIR(st.st_mode):
                try:
                    return not os.listdir(host)
                except OSError:
                    return False
            return stat.S_ISREG(st.st_mode) and st.st_size == 0
        if kind == "-print":
            self.s.say(path + "\n")
            return True
        if kind == "-print0":
            self.s.say(path + "\0")
            return True
        if kind == "-prune":
            self.pruned = True
            return True
        if kind == "-quit":
            raise Quit()
        if kind == "-delete":
            return self.delete(path, dev, host, st)
        if kind == "-exec":
            argv = [a.replace("{}", path) for a in value]
            return self.s.run(argv) == 0
        if kind == "-exec+":
            argv, batch = value
            batch.append(path)
            if len(batch) >= MAX_BATCH:
                self.run_batch(argv, batch)
            return True
        return False

    def run_batch(self, argv, batch):
        if batch:
            if self.s.run(argv + batch) != 0:
                self.status = 1
            del batch[:]

    def delete(self, path, dev, host, st):
        if dev == "/":
            self.status = self.s.err("find", "%s: can't remove the root" % path)
            return False
        try:
            self.s.fs.check_write(dev)
            if stat.S_ISDIR(st.st_mode):
                os.rmdir(host)
            else:
                os.unlink(host)
            return True
        except (OSError, FsError) as e:
            self.status = self.s.err("find", "%s: %s" % (path, reason(e)))
            return False

    def visit(self, path, dev, host, depth):
        st = os.lstat(host)
        options = self.expr.options
        self.pruned = False
        descend = stat.S_ISDIR(st.st_mode) and (options["maxdepth"] is None or depth < options["maxdepth"])
        wanted = depth >= options["mindepth"]
        if wanted and not options["depth"]:
            self.evaluate(path, dev, host, st, depth)
            if self.pruned:
                descend = False
        if descend:
            try:
                names = sorted(os.listdir(host))
            except OSError as e:
                self.status = self.s.err("find", "%s: %s" % (path, reason(e)))
                names = []
            for name in names:
                child = path + name if path.endswith("/") else path + "/" + name
                child_dev = dev.rstrip("/") + "/" + name
                try:
                    self.visit(child, child_dev, os.path.join(host, name), depth + 1)
                except FileNotFoundError:
                    continue   # gone meanwhile (an -exec removed it)
        if wanted and options["depth"]:
            self.evaluate(path, dev, host, st, depth)

    def evaluate(self, path, dev, host, st, depth):
        if self.tree is None:
            self.s.say(path + "\n")
            return
        result = self.test(self.tree, path, dev, host, st, depth)
        if result and not self.expr.has_action:
            self.s.say(path + "\n")


@reports_usage
def sh_find(s, args):
    paths = []
    i = 0
    while i < len(args) and args[i] in ("-H", "-L", "-P"):
        i += 1
    while i < len(args) and not (args[i].startswith("-") and len(args[i]) > 1 or args[i] in ("!", "(")):
        paths.append(args[i])
        i += 1
    expr = Expression(args[i:])
    tree = expr.parse()
    finder = Finder(s, expr, tree)
    try:
        for path in paths or ["."]:
            try:
                dev, host = s.resolve(path, follow_last=False)
                os.lstat(host)
            except (OSError, FsError) as e:
                finder.status = s.err("find", "%s: %s" % (path, reason(e)))
                continue
            finder.visit(path, dev, host, 0)
    except Quit:
        pass
    except RecursionError:
        finder.status = s.err("find", "too deep")
    for argv, batch in expr.batches:
        finder.run_batch(argv, batch)
    return finder.status


COMMANDS = {"find": sh_find}
