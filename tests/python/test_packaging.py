"""The wheel that scripts/build-python.sh built for this interpreter: what it
holds, and that it installs into a fresh environment, imports there and talks to
the simulator, and that a user's tests there get the simulator's pytest fixtures.

The wheel is taken from the dist-<interpreter> folder beside the site-<interpreter>
folder that the rest of the suite imports kelpie from, and the module the suite
tests must be the one in that wheel.
"""

import configparser
import email.parser
import os
import re
import struct
import subprocess
import sys
import sysconfig
import zipfile

import pytest

import kelpie

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIM_DIR = os.path.join(REPO, "python")
if SIM_DIR not in sys.path:
    sys.path.insert(0, SIM_DIR)

from kelpie_sim.launcher import SimProcess  # noqa: E402

PYPY = sys.implementation.name == "pypy"
BITS = struct.calcsize("P") * 8
MODULE_FILE = "kelpie" + sysconfig.get_config_var("EXT_SUFFIX")
# ELF class (byte 4) and machine (bytes 18-19, little-endian) of a loadable module.
ELF_ID = {32: (1, 3), 64: (2, 62)}[BITS]
SIM_FILES = sorted(package + "/" + f for package in ("kelpie_sim", "kelpie_farm")
                   for f in os.listdir(os.path.join(SIM_DIR, package)) if f.endswith((".py", ".html")))
ENTRY_POINTS = {"console_scripts": {"kelpie-sim": "kelpie_sim.cli:main"},
                "pytest11": {"kelpie_sim": "kelpie_sim.pytest_plugin", "kelpie_farm": "kelpie_farm.plugin"}}


def project_version():
    with open(os.path.join(REPO, "meson.build"), encoding="utf-8") as f:
        m = re.search(r"project\(\s*'kelpie'.*?version:\s*'([^']+)'", f.read(), re.S)
    assert m, "meson.build names no project version"
    return m.group(1)


def expected_tag():
    py = "%d%d" % sys.version_info[:2]
    if PYPY:
        interp = "pp%s-pypy%s_pp%d%d" % (py, py, *sys.pypy_version_info[:2])
    else:
        interp = "cp%s-cp%s" % (py, py)
    return "%s-linux_%s" % (interp, "i686" if BITS == 32 else "x86_64")


@pytest.fixture(scope="module")
def wheel():
    site = os.path.dirname(os.path.abspath(kelpie.__file__))
    name = os.path.basename(site)
    if not name.startswith("site-"):
        pytest.skip("kelpie was not installed by scripts/build-python.sh")
    dist = os.path.join(os.path.dirname(site), "dist-" + name[len("site-"):])
    wheels = [f for f in os.listdir(dist) if f.endswith(".whl")]
    assert len(wheels) == 1, wheels
    return os.path.join(dist, wheels[0])


def read_repo(name):
    with open(os.path.join(REPO, name), "rb") as f:
        return f.read()


def test_wheel_name_metadata_and_contents(wheel):
    version = project_version()
    assert os.path.basename(wheel) == "kelpie-%s-%s.whl" % (version, expected_tag())
    info = "kelpie-%s.dist-info/" % version
    with zipfile.ZipFile(wheel) as z:
        assert sorted(z.namelist()) == sorted([
            MODULE_FILE, "kelpie.pyi", "kelpie-stubs/__init__.pyi", *SIM_FILES, "kelpie_sim/py.typed",
            info + "METADATA", info + "WHEEL", info + "RECORD", info + "LICENSE", info + "entry_points.txt"])
        assert [f for f in SIM_FILES if z.read(f) != read_repo(os.path.join("python", f))] == []
        entry_points = configparser.ConfigParser()
        entry_points.read_string(z.read(info + "entry_points.txt").decode())
        metadata = email.parser.Parser().parsestr(z.read(info + "METADATA").decode())
        wheel_info = email.parser.Parser().parsestr(z.read(info + "WHEEL").decode())
        module = z.read(MODULE_FILE)
        assert z.read("kelpie.pyi") == z.read("kelpie-stubs/__init__.pyi") == read_repo("kelpie.pyi")
        assert z.read(info + "LICENSE") == read_repo("LICENSE")
    assert (metadata["Name"], metadata["Version"]) == ("kelpie", version)
    assert (wheel_info["Tag"], wheel_info["Root-Is-Purelib"]) == (expected_tag(), "false")
    assert {name: dict(entry_points[name]) for name in entry_points.sections()} == ENTRY_POINTS
    assert module[:4] == b"\x7fELF" and (module[4], module[18] | module[19] << 8) == ELF_ID
    with open(kelpie.__file__, "rb") as f:
        assert f.read() == module, "the suite is not testing the module in this wheel"


SMOKE = """
import sys
from importlib.metadata import version
import kelpie
import kelpie_sim

assert kelpie.__file__.startswith(sys.prefix), kelpie.__file__
assert kelpie_sim.__file__.startswith(sys.prefix), kelpie_sim.__file__
client = kelpie.HdcClient(sys.argv[1])
assert client.list_targets() == ["kelpie-sim-1"]
assert client.shell("echo installed") == "installed\\n"
print(version("kelpie"))
"""

# mypy finds the installed stub-only package and checks calls against it, and the
# simulator's own annotations (it ships py.typed).
TYPED_USE = """
import kelpie
from kelpie_sim import Simulator
reveal_type(kelpie.HdcClient("x").list_targets())
kelpie.HdcClient("x").hilog()
with Simulator(devices=2, max_seconds=60) as sim:
    reveal_type(sim.folder())
    sim.answer("ls", "a.txt\\n", packet_size="big")
"""


def run(*args, **kwargs):
    return subprocess.run(list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
                          **kwargs)


# A user's tests, run by pytest in the fresh environment: the fixtures come from the
# installed kelpie alone. The last test fails on purpose, to show that its simulator
# is stopped and its files removed all the same.
USER_TESTS = """
import os

import pytest

import kelpie


def test_canned_answer(hdc_sim):
    hdc_sim.answer("aa start -a EntryAbility -b com.example.app", "start ability successfully.\\n")
    client = kelpie.HdcClient(hdc_sim.addr)
    assert client.shell("aa start -a EntryAbility -b com.example.app") == "start ability successfully.\\n"


def test_log_line_through_hilog(hdc_sim):
    hdc_sim.log("MyApp", "login ok ✓")
    client = kelpie.HdcClient(hdc_sim.addr)
    assert client.hilog("-x -T MyApp").endswith(" I A00000/MyApp: login ok ✓\\n")


def test_detach_seen_by_the_next_call(hdc_sim):
    client = kelpie.HdcClient(hdc_sim.addr)
    hdc_sim.detach("kelpie-sim-1")
    assert client.list_targets() == []


def test_fault_becomes_an_error(hdc_sim):
    client = kelpie.HdcClient(hdc_sim.addr)
    hdc_sim.close_during_next_reply()
    with pytest.raises(RuntimeError, match="^I/O error: early eof$"):
        client.shell("echo hello")


def test_fails_on_purpose(hdc_sim):
    with open("left.txt", "w") as f:
        f.write("%d %s" % (hdc_sim.pid, hdc_sim.folder()))
    assert False, "on purpose"
"""


@pytest.fixture(scope="module")
def fresh_env(wheel, tmp_path_factory):
    """A virtual environment holding only the wheel (Debian's packages, pytest among them, stay
    visible), and an environment for running in it without this suite's paths."""
    env_dir = str(tmp_path_factory.mktemp("fresh") / "env")
    made = run(sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", env_dir)
    assert made.returncode == 0, made.stdout
    python = os.path.join(env_dir, "bin", "python")
    # Without this suite's PYTHONPATH, where pip would find kelpie already installed.
    clean = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    installed = run(sys.executable, "-m", "pip", "--python", python, "install", "--no-deps", "--no-index",
                    "--disable-pip-version-check", "-q", wheel, env=clean)
    assert installed.returncode == 0, installed.stdout
    return env_dir, clean


def test_wheel_installs_imports_and_works_in_a_fresh_environment(fresh_env, tmp_path):
    env_dir, clean = fresh_env
    python = os.path.join(env_dir, "bin", "python")
    with SimProcess(["--devices", "1", "--max-seconds", "60"]) as sim:
        smoke = run(python, "-c", SMOKE, sim.addr, cwd=str(tmp_path), env=clean)
    assert (smoke.returncode, smoke.stdout) == (0, project_version() + "\n")
    if PYPY:
        return   # mypy runs under CPython only
    typed = run(sys.executable, "-m", "mypy", "--no-incremental", "--python-executable", python, "-c", TYPED_USE,
                cwd=str(tmp_path), env=clean)
    assert 'Revealed type is "builtins.list[builtins.str]"' in typed.stdout, typed.stdout
    assert 'Missing positional argument "args" in call to "hilog"' in typed.stdout, typed.stdout
    assert 'Revealed type is "pathlib.Path"' in typed.stdout, typed.stdout
    assert 'Argument "packet_size" to "answer" of "Simulator" has incompatible type "str"' in typed.stdout, \
        typed.stdout


def test_a_users_tests_get_the_simulator_fixtures_in_a_fresh_environment(fresh_env, tmp_path):
    env_dir, clean = fresh_env
    helped = run(os.path.join(env_dir, "bin", "kelpie-sim"), "--help", cwd=str(tmp_path), env=clean)
    assert helped.returncode == 0 and helped.stdout.startswith("usage: kelpie-sim "), helped.stdout
    (tmp_path / "test_user.py").write_text(USER_TESTS, encoding="utf-8")
    tested = run(os.path.join(env_dir, "bin", "python"), "-m", "pytest", "-q", "-p", "no:cacheprovider",
                 "test_user.py", cwd=str(tmp_path), env=clean)
    assert tested.returncode == 1 and tested.stdout.splitlines()[-1].startswith("1 failed, 4 passed"), tested.stdout
    pid, folder = (tmp_path / "left.txt").read_text().split(" ", 1)
    assert not os.path.exists(folder)
    with pytest.raises(ProcessLookupError):
        os.kill(int(pid), 0)
