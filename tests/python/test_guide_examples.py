"""Every example in docs/guide.md and README.md runs here, against the simulator,
so the documentation cannot drift from what kelpie does.

Each `## ` section of a document gets a fresh simulator, a fresh working folder
and a fresh namespace; its examples run in order, so a later example may use
what an earlier one of the same section set up. ```python blocks are run as
scripts, ```pycon blocks as interactive sessions whose shown output must match
(`...` stands for any text). The examples speak to "127.0.0.1:8710", the HDC
server's usual address; the simulator's address is put in its place. A line
`<!-- simulator: ARGS -->` in a section gives that section's simulator its
arguments (default: one device). A section marked `<!-- examples: pytest -->`
shows test files instead: each of its ```python blocks is a test module, and
pytest, in a process of its own, runs them all with the installed kelpie's
plugins; every test in them must pass. A line `<!-- pytest: ARGS -->` gives that
run its arguments (a farm run: its tests may multiply over devices, so at least
as many must pass as the blocks define).
"""

import doctest
import os
import re
import shlex
import subprocess
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
GUIDE = os.path.join(REPO, "docs", "guide.md")
DOCUMENTS = [GUIDE, os.path.join(REPO, "README.md")]
SIM_DIR = os.path.join(REPO, "python")
if SIM_DIR not in sys.path:
    sys.path.insert(0, SIM_DIR)

from kelpie_sim.launcher import SimProcess  # noqa: E402

EXAMPLE_ADDR = "127.0.0.1:8710"
DEFAULT_SIM_ARGS = ["--devices", "1"]
RUN_LANGUAGES = ("python", "pycon")
METHODS = ("list_targets", "connect_device", "wait_for_device", "shell", "hilog", "fport", "rport",
           "fport_remove", "file_send", "file_recv", "install", "uninstall")


class Block:
    def __init__(self, language, line, text):
        self.language, self.line, self.text = language, line, text


class Section:
    def __init__(self, path, title):
        self.path, self.title = path, title
        self.sim_args = DEFAULT_SIM_ARGS
        self.pytest = False
        self.pytest_args = None
        self.blocks = []


def read_document(path):
    """The document's sections, each with its fenced blocks (all languages)."""
    sections = [Section(path, "top")]
    fence = None
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    for number, line in enumerate(lines, 1):
        if fence is not None:
            if line.startswith("```"):
                sections[-1].blocks.append(Block(fence[0], fence[1], "\n".join(fence[2]) + "\n"))
                fence = None
            else:
                fence[2].append(line)
        elif line.startswith("```"):
            fence = (line[3:].strip(), number + 1, [])
        elif line.startswith("## "):
            sections.append(Section(path, line[3:].strip()))
        else:
            m = re.match(r"<!-- simulator: (.*) -->$", line.strip())
            if m:
                sections[-1].sim_args = shlex.split(m.group(1))
            elif line.strip() == "<!-- examples: pytest -->":
                sections[-1].pytest = True
            m = re.match(r"<!-- pytest: (.*) -->$", line.strip())
            if m:
                sections[-1].pytest_args = shlex.split(m.group(1))
    assert fence is None, "%s: unclosed code fence opened at line %d" % (path, fence[1])
    return sections


SECTIONS = [s for path in DOCUMENTS for s in read_document(path)]
RUNNABLE = [s for s in SECTIONS if any(b.language in RUN_LANGUAGES for b in s.blocks)]


def section_id(section):
    name = os.path.splitext(os.path.basename(section.path))[0].lower()
    return name + ":" + re.sub(r"[^a-z0-9]+", "-", section.title.lower()).strip("-")


def run_script(path, text, line, namespace):
    # Leading blank lines make tracebacks point at the document's own line numbers.
    exec(compile("\n" * (line - 1) + text, path, "exec"), namespace)


def run_session(path, text, line, namespace):
    name = "%s line %d" % (os.path.basename(path), line)
    test = doctest.DocTestParser().get_doctest(text, namespace, name, path, line - 1)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS, verbose=False)
    report = []
    runner.run(test, out=report.append, clear_globs=False)
    namespace.update(test.globs)
    if runner.failures:
        pytest.fail("".join(report), pytrace=False)


def run_test_modules(section, folder):
    assert not any(b.language == "pycon" for b in section.blocks), "a pytest section holds test files only"
    count = 0
    for i, block in enumerate(b for b in section.blocks if b.language == "python"):
        with open(os.path.join(folder, "test_example_%d.py" % i), "w", encoding="utf-8") as f:
            f.write("\n" * (block.line - 1) + block.text)   # failures point at the document's lines
        count += len(re.findall(r"^def test_", block.text, re.M))
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", folder] +
                         (section.pytest_args or []), cwd=folder,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    assert count and run.returncode == 0, run.stdout
    passed = re.search(r"^(\d+) passed in ", run.stdout.splitlines()[-1])
    assert passed, run.stdout
    if section.pytest_args is None:
        assert int(passed.group(1)) == count, run.stdout
    else:
        assert int(passed.group(1)) >= count, run.stdout


@pytest.mark.parametrize("section", RUNNABLE, ids=[section_id(s) for s in RUNNABLE])
def test_section_examples(section, tmp_path, monkeypatch):
    if section.pytest:
        return run_test_modules(section, str(tmp_path))
    monkeypatch.chdir(tmp_path)   # examples write their files here; the simulator starts here too
    with SimProcess(section.sim_args + ["--max-seconds", "120"]) as sim:
        namespace = {"__name__": "__guide__"}
        for block in section.blocks:
            if block.language not in RUN_LANGUAGES:
                continue
            run = run_script if block.language == "python" else run_session
            run(section.path, block.text.replace(EXAMPLE_ADDR, sim.addr), block.line, namespace)
        assert sim.running(), "the simulator stopped during the examples"


def test_every_python_block_is_run_and_every_method_shown():
    languages = {b.language for s in SECTIONS for b in s.blocks}
    assert not {lang for lang in languages if lang.startswith("py")} - set(RUN_LANGUAGES), \
        "a Python block in a language the test does not run"
    shown = "".join(b.text for s in RUNNABLE if s.path == GUIDE for b in s.blocks if b.language in RUN_LANGUAGES)
    assert [m for m in METHODS if "." + m + "(" not in shown] == []
