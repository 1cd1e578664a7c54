"""kelvo.scan against simulators in network namespaces of the test's own
(broadcasts never leave them); skipped without root or the ip tool."""

import os
import shutil
import subprocess
import sys

import pytest

IP = shutil.which("ip") or "/usr/sbin/ip"
pytestmark = pytest.mark.skipif(
    os.geteuid() != 0 or not os.access(IP, os.X_OK), reason="network namespaces need root and ip"
)
STATE = '<kelvo-sim><discovery name="drive-{0}" serial="SN-{0}" items="1 5 6 7 9 12"/></kelvo-sim>'


@pytest.fixture
def namespaces():
    scanner, devices = f"kvpyscan{os.getpid()}", f"kvpydev{os.getpid()}"
    s, d = f"kvps{os.getpid()}", f"kvpd{os.getpid()}"
    steps = [
        f"netns add {scanner}", f"netns add {devices}",
        f"link add {s} type veth peer name {d}",
        f"link set {s} netns {scanner}", f"link set {d} netns {devices}",
        f"-n {scanner} addr add 10.110.0.1/24 dev {s}",
        f"-n {devices} addr add 10.110.0.2/24 dev {d}",
        f"-n {devices} addr add 10.110.0.3/24 dev {d}",
        f"-n {scanner} link set {s} up", f"-n {devices} link set {d} up",
        f"-n {scanner} route add default dev {s}",
    ]
    try:
        for step in steps:
            if subprocess.run([IP] + step.split(), capture_output=True).returncode:
                pytest.skip(f"cannot make the test's namespaces (ip {step})")
        yield scanner, devices
    finally:
        for name in (scanner, devices):
            subprocess.run([IP, "netns", "del", name], capture_output=True)


def test_every_device_answers_with_named_items(namespaces, tmp_path):
    scanner, devices = namespaces
    sims = []
    try:
        for i in (2, 3):
            state = tmp_path / f"state{i}.xml"
            state.write_text(STATE.format(i))
            sims.append(subprocess.Popen(
                [IP, "netns", "exec", devices, os.environ["KELVO_SIM"], "--addr", f"10.110.0.{i}",
                 "--discovery-addr", "0.0.0.0", "--no-tls", "--state", str(state)],
                stdout=subprocess.PIPE, text=True))
            while sims[-1].stdout.readline() not in ("ready\n", ""):
                pass
        scan = "import kelvo; print(repr(kelvo.scan('10.110.0.1', 1)))"
        run = subprocess.run([IP, "netns", "exec", scanner, sys.executable, "-c", scan],
                             capture_output=True, text=True, check=True)
    finally:
        for sim in sims:
            sim.terminate()
            sim.wait()
    # Both answer from the interface's first address; their items tell them apart.
    found = sorted(eval(run.stdout), key=lambda d: d["ip"])
    assert [(d["address"], d["ip"], d["name"]) for d in found] == [
        ("10.110.0.2", "10.110.0.2", "drive-2"), ("10.110.0.2", "10.110.0.3", "drive-3")]
    assert (found[1]["serial"], found[1]["node"], found[1]["mac"], found[1]["item12"]) == (
        "SN-3", 0, "02:00:00:00:00:01", "")
    assert [t for t, _ in found[1]["items"]] == [1, 5, 6, 7, 9, 12]
