"""A simulated device for tests without hardware.

    from kelvo.testing import Simulator

    with Simulator() as sim, sim.connect() as dev:
        assert dev.read(0x1004, 0, "i4") == -123456

Simulator starts kelvo-sim (the project's device simulator) in a child process
on a free loopback address, with TCP and optionally TLS, a serial
pseudo-terminal, injected faults and a state file; see kelvo-sim's README for
what the device holds. For pytest, `pytest_plugins = ["kelvo.testing"]` in a
conftest.py gives the fixtures kelvo_sim (one TCP simulator per test) and
kelvo_sim_factory (simulators with options, all stopped after the test).

kelvo-sim is taken from $KELVO_SIM, else from the build or install tree the
package sits in, else from PATH.
"""

from __future__ import annotations

import atexit
import ctypes
import ipaddress
import os
import random
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any

from .device import Device, connect, connection_text

_TCP_PORT = 17221
_TLS_PORT = 17222
_START_SECONDS = 20.0
_PR_SET_PDEATHSIG = 1

# Serial simulators pick a free comN under this lock.
_serial_lock = threading.Lock()
_private_devices: str | None = None


def find_simulator() -> str:
    """The kelvo-sim program to run."""
    given = os.environ.get("KELVO_SIM")
    if given:
        return given
    here = Path(__file__).resolve().parent
    # build/python/kelvo -> build/bin; PREFIX/lib/python3.N/dist-packages/kelvo -> PREFIX/bin
    for candidate in (here.parents[1] / "bin", here.parents[3] / "bin"):
        if (candidate / "kelvo-sim").is_file():
            return str(candidate / "kelvo-sim")
    found = shutil.which("kelvo-sim")
    if found:
        return found
    raise FileNotFoundError("kelvo-sim not found: set KELVO_SIM to the program")


def _devices_folder() -> str:
    """The folder the transport maps COMn through; a private one for this
    process when $KELVO_DEVICES is not set."""
    global _private_devices
    folder = os.environ.get("KELVO_DEVICES")
    if folder:
        return folder
    _private_devices = tempfile.mkdtemp(prefix="kelvo-devices-")
    atexit.register(shutil.rmtree, _private_devices, True)
    os.environ["KELVO_DEVICES"] = _private_devices
    return _private_devices


def _free_address(ports: Iterable[int], count: int = 1) -> str:
    """The first of `count` consecutive loopback addresses whose ports are
    free now (in 127.128.0.0/9)."""
    for _ in range(200):
        first = ipaddress.IPv4Address(
            f"127.{random.randint(128, 253)}.{random.randint(0, 255)}.{random.randint(1, 254)}"
        )
        try:
            for address in (str(first + i) for i in range(count)):
                for port in ports:
                    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
                        probe.bind((address, port))
        except OSError:
            continue
        return str(first)
    raise RuntimeError("no free loopback addresses for kelvo-sim")


# Looked up before any fork: the child must not load anything.
_prctl = ctypes.CDLL(None, use_errno=True).prctl


def _die_with_parent() -> None:
    """In the child: end with the thread that started it."""
    _prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)


class Simulator:
    """kelvo-sim on a free loopback address, as a context manager.

    tls: serve TLS too; serial: serve a serial pseudo-terminal, linked as COMn;
    devices: serve that many independent devices in the one process, on
    consecutive addresses (sim.addresses; connect(device=K) for the K-th);
    faults: fault texts ("silent", "delay:300", "device-error:0x0B000001",
    "cut:7", ...) for the requests fault_at (from 1) on, fault_count of them
    (0: all), of command fault_command only when given; state: a state file's
    path or its XML text; require_login, push_rate, stream_at_start as the
    options of those names; args: further kelvo-sim options. The simulator
    ends with stop(), the with block, or the thread that started it.
    """

    def __init__(
        self,
        *,
        tls: bool = False,
        serial: bool = False,
        faults: Iterable[str] = (),
        fault_at: int | None = None,
        fault_count: int | None = None,
        fault_command: int | None = None,
        state: str | os.PathLike | None = None,
        require_login: bool = False,
        push_rate: int | None = None,
        stream_at_start: bool = False,
        args: Iterable[str] = (),
        executable: str | None = None,
        devices: int = 1,
    ) -> None:
        self.tls = tls
        self.serial = serial
        self.devices = devices
        self.address: str | None = None
        self.addresses: list[str] = []
        self.com: int | None = None
        self.pty: str | None = None
        self._executable = executable
        self._options: list[str] = []
        for fault in faults:
            self._options += ["--fault", fault]
        for flag, value in (
            ("--fault-at", fault_at),
            ("--fault-count", fault_count),
            ("--fault-command", fault_command),
            ("--push-rate", push_rate),
        ):
            if value is not None:
                self._options += [flag, str(value)]
        self._options += ["--require-login"] * require_login
        self._options += ["--stream-at-start"] * stream_at_start
        if devices != 1:
            self._options += ["--devices", str(devices)]
        self._options += list(args)
        self._state = state
        self._process: subprocess.Popen[bytes] | None = None
        self._folder: str | None = None

    # ---- Start and stop ----

    def start(self) -> Simulator:
        self._folder = tempfile.mkdtemp(prefix="kelvo-sim-")
        options = list(self._options)
        if self._state is not None:
            state = os.fspath(self._state)
            if state.lstrip().startswith("<"):
                path = os.path.join(self._folder, "state.xml")
                Path(path).write_text(state)
                state = path
            options += ["--state", state]
        options += ["--control", self.control_path]
        if not self.tls:
            options.append("--no-tls")
        try:
            if self.serial:
                with _serial_lock:
                    self._start_serial(options)
            else:
                self._start_tcp(options)
        except BaseException:
            self.stop()
            raise
        return self

    def _start_serial(self, options: list[str]) -> None:
        folder = _devices_folder()
        com = next(n for n in range(1, 257) if not os.path.lexists(os.path.join(folder, f"com{n}")))
        self._start_tcp(options + ["--serial", "--link-com", str(com)])
        self.com = com

    def _start_tcp(self, options: list[str]) -> None:
        ports = [_TCP_PORT, _TLS_PORT] if self.tls else [_TCP_PORT]
        for _ in range(10):
            address = _free_address(ports, self.devices)
            lines = self._run(["--addr", address] + options)
            if lines is not None:
                self.address = address
                first = ipaddress.IPv4Address(address)
                self.addresses = [str(first + i) for i in range(self.devices)]
                self.pty = lines.get("serial")
                return
        raise RuntimeError(f"kelvo-sim did not start: {self.log()}")

    def _run(self, options: list[str]) -> dict[str, str] | None:
        """Starts the program and reads its lines up to "ready"; None when it
        could not take the address (another one is tried)."""
        program = self._executable or find_simulator()
        log = open(os.path.join(self._folder, "stderr.txt"), "wb")
        with log:
            self._process = subprocess.Popen(
                [program] + options,
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=log,
                preexec_fn=_die_with_parent,
            )
        lines: dict[str, str] = {}
        text = b""
        deadline = time.monotonic() + _START_SECONDS
        with selectors.DefaultSelector() as selector:
            selector.register(self._process.stdout, selectors.EVENT_READ)
            while b"ready\n" not in text:
                left = deadline - time.monotonic()
                if left <= 0 or not selector.select(left):
                    raise RuntimeError(f"kelvo-sim did not get ready: {self.log()}")
                chunk = os.read(self._process.stdout.fileno(), 4096)
                if not chunk:
                    self._process.wait()
                    self._process.stdout.close()
                    if "in use" in self.log():
                        self._process = None
                        return None
                    raise RuntimeError(f"kelvo-sim did not start: {self.log()}")
                text += chunk
        for line in text.decode().splitlines():
            key, _, value = line.partition(": ")
            lines[key] = value
        return lines

    def stop(self) -> None:
        if self._process is not None:
            if self._process.poll() is None:
                self._process.send_signal(signal.SIGTERM)
                try:
                    self._process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self._process.kill()
                    self._process.wait()
            if not self._process.stdout.closed:
                self._process.stdout.close()
            self._process = None
        if self._folder is not None:
            shutil.rmtree(self._folder, ignore_errors=True)
            self._folder = None

    def __enter__(self) -> Simulator:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def log(self) -> str:
        """What the simulator wrote on standard error."""
        try:
            return Path(self._folder, "stderr.txt").read_text(errors="replace")
        except (OSError, TypeError):
            return ""

    # ---- Connecting ----

    def text(self, link: str = "tcp", device: int = 1, **keywords: Any) -> str:
        """The connection text of a link ("tcp", "tls" or "serial") of the
        device-th device; keywords as for kelvo.connect (user, password,
        timeout, ...)."""
        keywords.setdefault("timeout", 3.0)
        if link == "serial":
            if self.com is None:
                raise ValueError("the simulator was started without serial=True")
            return connection_text(serial=self.com, **keywords)
        if link not in ("tcp", "tls"):
            raise ValueError(f"link must be tcp, tls or serial, not {link!r}")
        if link == "tls" and not self.tls:
            raise ValueError("the simulator was started without tls=True")
        if not 1 <= device <= len(self.addresses):
            raise ValueError(f"device must be 1 to {len(self.addresses)}, not {device!r}")
        return connection_text(host=self.addresses[device - 1], tls=link == "tls", **keywords)

    def connect(self, link: str = "tcp", device: int = 1, **keywords: Any) -> Device:
        """A Device connected to this simulator (its device-th device)."""
        return connect(self.text(link, device, **keywords))

    # ---- Faults while running ----

    @property
    def control_path(self) -> str:
        return os.path.join(self._folder, "control")

    def set_faults(
        self, *faults: str, at: int = 1, count: int = 0, command: int | None = None
    ) -> None:
        """Replaces the fault plan from the next request on (no faults: none)."""
        words = [f"fault {fault}" for fault in faults] + [f"at {at}", f"count {count}"]
        if command is not None:
            words.append(f"command {command}")
        self._control(" ".join(words) if faults else "clear")

    def _control(self, line: str) -> None:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as channel:
            channel.settimeout(10)
            channel.connect(self.control_path)
            channel.sendall(line.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = channel.recv(256)
                if not chunk:
                    break
                answer += chunk
        if answer.strip() != b"ok":
            raise ValueError(f"kelvo-sim refused {line!r}: {answer.decode().strip()}")


# The fixtures, when running under pytest (scripts do not pay for importing it).
pytest = sys.modules.get("pytest")
if pytest is not None:

    @pytest.fixture
    def kelvo_sim() -> Iterator[Simulator]:
        """A kelvo-sim serving TCP, for one test."""
        with Simulator() as sim:
            yield sim

    @pytest.fixture
    def kelvo_sim_factory() -> Iterator[Any]:
        """Starts simulators with options (kelvo_sim_factory(serial=True));
        all of them stop after the test."""
        started: list[Simulator] = []

        def start(**options: Any) -> Simulator:
            sim = Simulator(**options)
            started.append(sim)
            return sim.start()

        yield start
        for sim in started:
            sim.stop()
