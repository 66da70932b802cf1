"""The sh's own commands, which change the shell itself (its place, its variables, the
flow of the line): each an `async handler(shell, args) -> exit status`."""

import os
import re
import stat

from .confine import FsError
from . import shell_syntax

NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
MAX_SCRIPT_DEPTH = 8      # sh -c, eval and . inside each other
SCRIPT_NESTING = 5        # what one of them counts for against the parser's limit on nesting


def _shell():
    from . import shell_exec   # the executor, which imports this module
    return shell_exec


async def sh_cd(sh, args):
    target = args[0] if args else sh.vars.get("HOME", "/")
    if target == "-":
        target = sh.vars.get("OLDPWD", sh.env.cwd)
    try:
        dev, host = sh.fs.resolve(target, sh.env.cwd)
        st = os.stat(host)
    except (OSError, FsError):
        await sh.say_error("cd: %s: No such file or directory" % target)
        return 1
    if not stat.S_ISDIR(st.st_mode):
        await sh.say_error("cd: %s: Not a directory" % target)
        return 1
    sh.vars["OLDPWD"], sh.env.cwd = sh.env.cwd, dev
    sh.vars["PWD"] = dev
    return 0


async def _assign_words(sh, args, command):
    status = 0
    for word in args:
        name, eq, value = word.partition("=")
        if not NAME.match(name):
            await sh.say_error("%s: %s: is not an identifier" % (command, name))
            status = 1
            continue
        if eq:
            sh.vars[name] = value
        else:
            sh.vars.setdefault(name, sh.vars.get(name, ""))
    return status


async def sh_export(sh, args):
    args = [a for a in args if a != "-p"]
    if not args:
        text = "".join("export %s=%s\n" % (k, _quoted(v)) for k, v in sorted(sh.vars.items()))
        await sh.fds[1].write(text.encode("utf-8", "surrogateescape"))
        return 0
    return await _assign_words(sh, args, "export")


def _quoted(value):
    return value if re.fullmatch(r"[A-Za-z0-9_./:,+-]+", value) else "'" + value.replace("'", "'\\''") + "'"


async def sh_unset(sh, args):
    for name in args:
        if name not in ("-v", "-f"):
            sh.vars.pop(name, None)
    return 0


async def _count(sh, args, command, default):
    if not args:
        return default
    text = args[0]
    if not re.fullmatch(r"-?[0-9]{1,9}", text):
        await sh.say_error("%s: %s: bad number" % (command, text))
        raise _shell().ShellExit(1)
    return int(text)


async def sh_exit(sh, args):
    raise _shell().ShellExit((await _count(sh, args, "exit", sh.env.status)) & 0xFF)


async def _loop_control(sh, args, kind):
    levels = await _count(sh, args, kind, 1)
    if levels < 1:
        await sh.say_error("%s: %s: bad number" % (kind, args[0]))
        return 1
    if not sh.env.loops:
        return 0       # outside a loop it does nothing
    raise _shell().LoopControl(kind, min(levels, sh.env.loops))


async def sh_break(sh, args):
    return await _loop_control(sh, args, "break")


async def sh_continue(sh, args):
    return await _loop_control(sh, args, "continue")


async def sh_read(sh, args):
    """read [-r] NAME...: one line of input into the names, split at IFS; 1 at the end of input."""
    raw = False
    while args and args[0].startswith("-") and len(args[0]) > 1:
        if args[0] != "-r":
            await sh.say_error("read: %s: unknown option" % args[0])
            return 2
        raw, args = True, args[1:]
    names = args or ["REPLY"]
    for name in names:
        if not NAME.match(name):
            await sh.say_error("read: %s: is not an identifier" % name)
            return 2
    source = sh.fds.get(0)
    line = await source.readline() if hasattr(source, "readline") else b""
    text = line.decode("utf-8", "surrogateescape")
    ended = text.endswith("\n")
    text = text[:-1] if ended else text
    if not raw:
        text = re.sub(r"\\(.)", r"\1", text)
    ifs = sh.vars.get("IFS", " \t\n")
    if ifs and ifs.strip(" \t\n") == "":
        pieces = text.strip(ifs).split(None, len(names) - 1) if text.strip(ifs) else []
    elif ifs:
        pieces = re.split("[%s]" % re.escape(ifs), text, maxsplit=len(names) - 1)
    else:
        pieces = [text]
    for k, name in enumerate(names):
        sh.vars[name] = pieces[k] if k < len(pieces) else ""
    return 0 if ended or text else 1


async def _run_text(sh, text, command):
    depth = sh.line.scripts
    if depth >= MAX_SCRIPT_DEPTH:
        await sh.say_error("%s: nested too deeply" % command)
        return 1
    try:
        tree = shell_syntax.parse(text, (depth + 1) * SCRIPT_NESTING)
    except shell_syntax.ShellSyntax as e:
        await sh.say_error(str(e))
        return 2
    sh.line.scripts = depth + 1
    try:
        return await sh.run(tree)
    finally:
        sh.line.scripts = depth


async def sh_eval(sh, args):
    return await _run_text(sh, " ".join(args), "eval")


async def sh_sh(sh, args):
    """sh -c 'COMMANDS' or sh FILE: a new shell, which changes nothing of this one's."""
    sub = sh.subshell()
    shell = _shell()
    try:
        if args[:1] == ["-c"] and len(args) > 1:
            return await _run_text(sub, args[1], "sh")
        if args and not args[0].startswith("-"):
            text = await _script(sh, args[0], "sh")
            return 127 if text is None else await _run_text(sub, text, "sh")
    except shell.ShellExit as e:
        return e.status
    except shell.LoopControl:
        return 0
    await sh.say_error("sh: an interactive shell is not available here")
    return 2


async def _script(sh, path, command):
    try:
        _dev, host = sh.fs.resolve(path, sh.env.cwd)
        fd = sh.fs.open_read(host)
    except (OSError, FsError):
        await sh.say_error("%s: %s: not found" % (command, path))
        return None
    with os.fdopen(fd, "rb") as f:
        return f.read().decode("utf-8", "surrogateescape")


async def sh_source(sh, args):
    if not args:
        await sh.say_error(".: missing argument")
        return 2
    text = await _script(sh, args[0], ".")
    return 1 if text is None else await _run_text(sh, text, ".")


async def sh_set(sh, args):
    for a in args:
        if a[:1] in "-+" and set(a[1:]) <= set("euxvfo"):
            if "e" in a[1:]:
                sh.env.errexit = a[0] == "-"
        elif a == "--":
            break
    return 0


async def sh_shift(sh, args):
    n = await _count(sh, args, "shift", 1)
    if not 0 <= n <= len(sh.env.args):
        await sh.say_error("shift: %s: bad number" % n)
        return 1
    sh.env.args = sh.env.args[n:]
    return 0


async def sh_return(sh, args):
    if not sh.env.calls:
        await sh.say_error("return: can only return from a function or dot script")
        return 1
    raise _shell().FunctionReturn((await _count(sh, args, "return", sh.env.status)) & 0xFF)


async def sh_wait(sh, args):
    return 0      # background jobs have finished by the time the line goes on


async def sh_command(sh, args):
    """command -v NAME: where the command is; command NAME ARGS: runs it."""
    if args[:1] in (["-v"], ["-V"]):
        status = 0
        for name in args[1:]:
            if name in COMMANDS or name in ("echo", "test", "[", "true", "false", "pwd", "sleep"):
                text = name
            elif name in sh.line.commands:
                text = "/system/bin/" + name
            else:
                status = 1
                continue
            await sh.fds[1].write((text + "\n").encode("utf-8", "surrogateescape"))
        return status
    if not args:
        return 0
    node = shell_syntax.Simple([], [], [], " ".join(args))
    return await sh.command(node, args, {}, None)


COMMANDS = {
    "cd": sh_cd, "export": sh_export, "unset": sh_unset, "exit": sh_exit, "break": sh_break,
    "continue": sh_continue, "read": sh_read, "eval": sh_eval, "sh": sh_sh, ".": sh_source,
    "source": sh_source, "set": sh_set, "shift": sh_shift, "wait": sh_wait, "command": sh_command,
    "return": sh_return,
}
