# SPDX-License-Identifier: Apache-2.0
# Fixtures of the Python package's tests: real kelvra-agent processes on
# loopback, each with settings of its own (free ports, coordinator_ip=127.0.0.1
# and allowDiscardCoordinatorIp=0, so that none ever broadcasts) and private
# folders. The build's paths come from the environment ctest gives
# (tests/CMakeLists.txt); every agent started is stopped by its process id.
import fcntl
import os
import signal
import socket
import subprocess
import time

import pytest

AGENT = os.environ["KELVRA_AGENT"]
SUBMIT = os.environ["KELVRA_SUBMIT"]
TASKLIB = os.environ["KELVRA_TASKLIB_SUBMIT"]      # SlowEcho, EchoUnlessFail
PI = os.environ["KELVRA_EXAMPLE_PI"]                 # EstimatePi
WORDCOUNT = os.environ["KELVRA_EXAMPLE_WORDCOUNT"]   # CountWords
EXAMPLE_DATA = os.environ["KELVRA_EXAMPLE_DATA"]

_claims = []  # port claims held for this process's life


def free_port():
    """A loopback port free for TCP and UDP a moment ago, claimed (as
    tests/FakePeers.h claims its ports) so that test processes running side
    by side are never handed the same one."""
    folder = "/tmp/kelvra-test-ports"
    os.makedirs(folder, mode=0o1777, exist_ok=True)
    for _ in range(200):
        with socket.socket() as tcp:
            tcp.bind(("", 0))
            port = tcp.getsockname()[1]
            try:
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
                    udp.bind(("", port))
            except OSError:
                continue
        claim = open(os.path.join(folder, str(port)), "a")
        try:
            fcntl.flock(claim, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            claim.close()
            continue
        _claims.append(claim)
        return port
    raise RuntimeError("no free port")


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


class Agent:
    """One kelvra-agent process on 127.0.0.1."""

    def __init__(self, folder, data_port):
        self.lobby = free_port()
        self.data_port = data_port
        os.makedirs(folder / "data")
        os.makedirs(folder / "run", mode=0o700)
        settings = folder / "kelvra.INI"
        settings.write_text(
            f"[agent]\nbind_ip=127.0.0.1\nbind_port={self.lobby}\nbroadcast_port={free_port()}\n"
            "suspend_timeout=0\nallowed_users=127.0.0.1\n"
            f"[coordinator]\ncoordinator_ip=127.0.0.1\nallowDiscardCoordinatorIp=0\nbind_port={free_port()}\n"
            f"broadcast_port={free_port()}\n[user]\ndata_port={data_port}\n")
        environment = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        environment.update(XDG_DATA_HOME=str(folder / "data"), XDG_RUNTIME_DIR=str(folder / "run"))
        self.log = open(folder / "agent.log", "wb")
        self.process = subprocess.Popen([AGENT, "--headless", "--config", str(settings)], env=environment,
                                        stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while not listening(self.lobby):
            assert self.process.poll() is None, f"the agent ended at start: {(folder / 'agent.log').read_text()}"
            assert time.monotonic() < deadline, "the agent does not listen after 30 s"
            time.sleep(0.05)
        self.address = f"127.0.0.1:{self.lobby}"

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait(30)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.kill()
        self.log.close()


@pytest.fixture
def agents(tmp_path):
    """start(count) -> agents that share one data port (as a grid's do)."""
    started = []

    def start(count=1):
        data_port = free_port()
        for n in range(count):
            started.append(Agent(tmp_path / f"agent{len(started)}", data_port))
        return started[-count:]

    yield start
    for agent in started:
        agent.stop()


def alive(pid):
    """Whether process `pid` runs (a zombie does not)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False
