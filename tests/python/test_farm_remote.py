"""Workers on another host, end to end: xdist's ssh workers against a real sshd on 127.0.0.1
(its configuration, host key and user key made in a temporary folder, on a free port, stopped
at the end), running a suite on simulated devices; and the pieces that decide what such a
worker is given and where a retry's worker starts."""

import getpass
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

import pytest
from xdist.workermanage import make_reltoroot

from kelpie_farm.remote import WorkerHosts, worker_arg
from kelpie_farm.targets import Target

SSHD = "/usr/sbin/sshd"
HOST = "kelpie-farm-host"      # the other host's name in the ssh client's configuration

SUITE = '''
import json, os, time
import pytest

def record(name):
    # The worker's own folder: the environment of the session on the other host is its own.
    os.makedirs("records", exist_ok=True)
    path = os.path.join("records", "%s-%d.json" % (name, os.getpid()))
    with open(path, "w") as f:
        json.dump({"test": name, "cwd": os.getcwd(), "pid": os.getpid(),
                   "ssh": "SSH_CONNECTION" in os.environ}, f)

@pytest.mark.parametrize("i", range(4))
def test_plain(hdc_device, i):
    record("plain%d" % i)
    hdc_device.client.shell("echo plain")
'''

HANGS = '''
def test_hangs(hdc_device):
    record("hangs")
    hdc_device.client.shell("sleep 30")
'''


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def sshd(tmp_path_factory):
    """An sshd on 127.0.0.1 that lets this user in with a key of its own and gives the session
    this interpreter's module path; the ssh client's configuration file that reaches it as
    HOST."""
    if not os.path.exists(SSHD):
        if os.environ.get("CI"):
            pytest.fail("sshd is missing: scripts/setup.sh installs openssh-server")
        pytest.skip("sshd is not installed (scripts/setup.sh installs openssh-server)")
    if shutil.which("ssh") is None or shutil.which("ssh-keygen") is None:
        pytest.skip("the ssh client is not installed (scripts/setup.sh installs openssh-client)")
    if os.geteuid() == 0 and not os.path.isdir("/run/sshd"):
        os.makedirs("/run/sshd", 0o755)     # what the ssh service makes at its start: sshd needs it as root
    folder = tmp_path_factory.mktemp("sshd")
    for key in ("host_key", "user_key"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(folder / key)], check=True)
    shutil.copy(str(folder / "user_key.pub"), str(folder / "authorized_keys"))
    port = free_port()
    module_path = os.pathsep.join(p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p)
    (folder / "sshd_config").write_text(
        "Port %d\nListenAddress 127.0.0.1\nHostKey %s\nAuthorizedKeysFile %s\nPidFile none\n"
        "StrictModes no\nUsePAM no\nPasswordAuthentication no\nKbdInteractiveAuthentication no\n"
        "PermitRootLogin prohibit-password\nSetEnv PYTHONPATH=%s\n"
        % (port, folder / "host_key", folder / "authorized_keys", module_path))
    (folder / "ssh_config").write_text(
        "Host %s\n  HostName 127.0.0.1\n  Port %d\n  IdentityFile %s\n  IdentitiesOnly yes\n"
        "  UserKnownHostsFile /dev/null\n  StrictHostKeyChecking no\n  BatchMode yes\n  LogLevel ERROR\n"
        % (HOST, port, folder / "user_key"))
    config = str(folder / "sshd_config")
    check = subprocess.run([SSHD, "-t", "-f", config], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           universal_newlines=True)
    if check.returncode != 0:
        pytest.skip("sshd cannot run here: " + check.stdout.strip())
    log = open(str(folder / "sshd.log"), "w")
    server = subprocess.Popen([SSHD, "-D", "-e", "-f", config], stdout=log, stderr=subprocess.STDOUT)
    try:
        until = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if server.poll() is not None or time.monotonic() > until:
                    pytest.skip("sshd did not start: " + (folder / "sshd.log").read_text())
                time.sleep(0.05)
        yield str(folder / "ssh_config")
    finally:
        server.terminate()
        server.wait(10)
        log.close()


def run_farm(folder, tx, *args):
    run = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-d", "--tx", tx] + list(args),
                         cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         env=dict(os.environ, XDG_CACHE_HOME=os.path.join(str(folder), "cache")),
                         universal_newlines=True, timeout=240)
    return run.returncode, run.stdout


def read_records(folder):
    import json

    found = {}
    if not os.path.isdir(os.path.join(folder, "records")):
        return found
    for name in os.listdir(os.path.join(folder, "records")):
        with open(os.path.join(folder, "records", name)) as f:
            try:
                record = json.load(f)
            except ValueError:      # still being written
                continue
        found[record["test"]] = record
    return found


def end(pid):
    """Ends a test's process this run started on the other host, if it still runs."""
    try:
        os.kill(pid, signal.SIGKILL)
    except OSError:
        pass


def test_the_guides_form_runs_the_checkout_on_the_other_host_and_names_a_worker_left_behind(sshd, tmp_path):
    """The form the guide gives, the source already on the other host: a relative test path
    and `--hdc-report PATH` (an existing file) as written; a test past its deadline there is
    cut off, and the summary says its process was left running."""
    checkout = str(tmp_path)
    os.makedirs(os.path.join(checkout, "tests"))
    with open(os.path.join(checkout, "tests", "test_suite.py"), "w") as f:
        f.write(SUITE + HANGS)
    with open(os.path.join(checkout, "run.html"), "w") as f:
        f.write("the last run's report\n")
    tx = "2*ssh=%s@%s//ssh_config=%s//python=%s//chdir=%s" % (getpass.getuser(), HOST, sshd, sys.executable, checkout)
    status, out = run_farm(checkout, tx, "--hdc-sim", "2", "--hdc-timeout", "4", "--hdc-report", "run.html",
                           "tests/test_suite.py")
    ran = read_records(checkout)
    try:
        assert "INTERNALERROR" not in out and "DeprecationWarning" not in out, out
        assert status == 1 and re.search(r"^=+ 1 failed, 4 passed in ", out, re.M), out
        assert sorted(ran) == ["hangs"] + ["plain%d" % i for i in range(4)]
        assert all(r["ssh"] and r["cwd"] == checkout for r in ran.values()), ran
        summary = out.split("= hdc farm =", 1)[1]
        assert re.search(r"^LEFT BEHIND: worker gw\d on ssh=%s@%s ran past its deadline in "
                         r"tests/test_suite.py::test_hangs; its connection was ended" % (getpass.getuser(), HOST),
                         summary, re.M), out
        with open(os.path.join(checkout, "run.html"), encoding="utf-8") as f:
            assert "test_suite.py::test_hangs" in f.read()
    finally:
        if "hangs" in ran:
            end(ran["hangs"]["pid"])


def test_ctrl_c_names_a_worker_on_another_host_left_in_its_test(sshd, tmp_path):
    checkout = str(tmp_path)
    with open(os.path.join(checkout, "test_suite.py"), "w") as f:
        f.write(SUITE.replace("range(4)", "range(1)") + HANGS)
    tx = "1*ssh=%s@%s//ssh_config=%s//python=%s//chdir=%s" % (getpass.getuser(), HOST, sshd, sys.executable, checkout)
    run = subprocess.Popen([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-d", "--tx", tx, "--hdc-sim", "1",
                            "--hdc-order", "none", "test_suite.py"], cwd=checkout, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, universal_newlines=True,
                           env=dict(os.environ, XDG_CACHE_HOME=os.path.join(checkout, "cache")),
                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    ran = {}
    try:
        until = time.monotonic() + 120
        while "hangs" not in ran and run.poll() is None and time.monotonic() < until:
            time.sleep(0.1)
            ran = read_records(checkout)
        time.sleep(0.3)
        run.send_signal(signal.SIGINT)
        out = run.communicate(timeout=60)[0]
        assert run.returncode == 2 and "INTERNALERROR" not in out, out
        assert re.search(r"^LEFT BEHIND: worker gw0 on ssh=%s@%s was in test_suite.py::test_hangs when the run was "
                         r"interrupted" % (getpass.getuser(), HOST), out, re.M), out
    finally:
        if run.poll() is None:
            run.kill()
            run.wait()
        if "hangs" in ran:
            end(ran["hangs"]["pid"])


def test_the_rsync_form_warns_once_not_once_a_worker(sshd, tmp_path):
    folder = str(tmp_path / "here")
    os.makedirs(os.path.join(folder, "tests"))
    with open(os.path.join(folder, "tests", "test_suite.py"), "w") as f:
        f.write(SUITE)
    there = str(tmp_path / "there")
    tx = "2*ssh=%s@%s//ssh_config=%s//python=%s//chdir=%s" % (getpass.getuser(), HOST, sshd, sys.executable, there)
    status, out = run_farm(folder, tx, "--rsyncdir", "tests", "--hdc-sim", "2", "tests/test_suite.py")
    assert "INTERNALERROR" not in out, out
    assert status == 0 and re.search(r"^=+ 4 passed, 1 warning in ", out, re.M), out
    assert {r["cwd"] for r in read_records(there).values()} == {there}


@pytest.mark.parametrize("arg, roots, expected", [
    ("tests/test_suite.py::test_a", [], "tests/test_suite.py::test_a"),      # relative: the checkout's own
    ("{start}/tests/test_suite.py", [], "tests/test_suite.py"),              # absolute, in the checkout
    ("{elsewhere}/run.html", [], "{elsewhere}/run.html"),                    # an option's file elsewhere
    ("tests/test_suite.py", ["{start}/tests"], "tests/test_suite.py"),       # copied over by xdist
    ("{start}/tests", ["{start}/tests"], "tests/."),
    ("no:cacheprovider", [], "no:cacheprovider"),
])
def test_a_worker_gets_each_path_as_it_can_use_it(tmp_path, monkeypatch, arg, roots, expected):
    start, elsewhere = tmp_path / "start", tmp_path / "elsewhere"
    for folder in (start / "tests", elsewhere):
        folder.mkdir(parents=True)
    (start / "tests" / "test_suite.py").write_text("")
    (elsewhere / "run.html").write_text("")
    monkeypatch.chdir(start)
    names = {"start": start, "elsewhere": elsewhere}
    from pathlib import Path
    assert worker_arg([Path(r.format(**names)) for r in roots], arg.format(**names), str(start),
                      make_reltoroot) == expected.format(**names)


class Node:
    def __init__(self, id, popen):
        self.gateway = type("Gateway", (), {"id": id, "spec": type("Spec", (), {"popen": popen, "ssh": None})()})()


def test_a_retrys_worker_starts_like_one_that_reached_the_server_else_a_local_one():
    farm = type("Farm", (), {"targets": [Target("a1", "a:1", "a1"), Target("b1", "b:1", "b1")]})()
    hosts = WorkerHosts(farm)
    local, remote_a, remote_b = Node("gw0", True), Node("gw1", False), Node("gw2", False)
    for node in (local, remote_a, remote_b):
        hosts.configured(node)
    assert hosts.template_for("b:1") is local       # not the last configured: it may not reach b
    failed_setup = pytest.TestReport("t.py::x", ("t.py", 1, "x"), {}, "failed", "E", "setup", hdc_label="a1")
    passed_setup = pytest.TestReport("t.py::y", ("t.py", 1, "y"), {}, "passed", None, "setup", hdc_label="b1")
    failed_setup.node, passed_setup.node = remote_a, remote_b
    for report in (failed_setup, passed_setup):
        hosts.pytest_runtest_logreport(report)
    assert hosts.template_for("b:1") is remote_b and hosts.template_for("a:1") is local
    only_remote = WorkerHosts(farm)
    only_remote.configured(remote_a)
    assert only_remote.template_for("a:1") is remote_a
