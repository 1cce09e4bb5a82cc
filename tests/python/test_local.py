# SPDX-License-Identifier: Apache-2.0
# Grid(local=True): the private agent goes with the grid however the
# program ends (the with block, KeyboardInterrupt, the interpreter's end);
# and a map over a generator of a million inputs in bounded memory.
import os
import signal
import subprocess
import sys
import time

import kelvra
from conftest import TASKLIB, alive

LIB = os.path.basename(TASKLIB)


def gone(pid, folder):
    deadline = time.monotonic() + 30
    while (alive(pid) or os.path.exists(folder)) and time.monotonic() < deadline:
        time.sleep(0.05)
    return not alive(pid) and not os.path.exists(folder)


def test_local_agent_goes_with_the_with_block():
    with kelvra.Grid(local=True) as grid:
        pid, folder = grid._grid.local_pid, grid._grid.local_folder
        assert alive(pid) and os.path.isdir(folder)
        grid.add_file(TASKLIB)
        assert list(grid.map(LIB, "SlowEcho", [b"1", b"2"])) == [b"1", b"2"]
    assert gone(pid, folder)


# A program that starts a local grid, says its agent's pid and folder, then
# either waits in a long map (to be interrupted) or ends without closing.
PROGRAM = """
import sys, kelvra
grid = kelvra.Grid(local=True)
grid.add_file(sys.argv[1])
print(grid._grid.local_pid, grid._grid.local_folder, flush=True)
if sys.argv[2] == "map":
    with grid:
        for _ in grid.map("%s", "SlowEcho", (b"x" for _ in range(100000))):
            pass
""" % LIB


def run_program(mode):
    child = subprocess.Popen([sys.executable, "-c", PROGRAM, TASKLIB, mode], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=os.environ)
    pid, folder = child.stdout.readline().decode().split()
    return child, int(pid), folder


def test_local_agent_goes_on_keyboard_interrupt():
    child, pid, folder = run_program("map")
    try:
        time.sleep(1)
        assert alive(pid)
        child.send_signal(signal.SIGINT)
        _, errors = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
    assert b"KeyboardInterrupt" in errors
    assert gone(pid, folder)


def test_local_agent_goes_at_the_interpreters_end():
    child, pid, folder = run_program("leave")
    _, errors = child.communicate(timeout=60)
    assert child.returncode == 0, errors
    assert gone(pid, folder)


def test_a_million_inputs_from_a_generator_in_bounded_memory(capsys):
    count = 1_000_000
    deadline = time.monotonic() + 600
    read = 0

    def inputs():
        nonlocal read
        for n in range(count):
            assert time.monotonic() < deadline, f"only {n} inputs read in 600 s"
            read += 1
            yield n.to_bytes(8, "little")

    start_rss = peak = rss()
    started = time.monotonic()
    with kelvra.Grid(local=True) as grid:
        grid.add_file(TASKLIB)
        expected = 0
        for output in grid.map(LIB, "EchoUnlessFail", inputs(), window=5000):
            assert int.from_bytes(output, "little") == expected
            expected += 1
            # The generator is read only as far as the window allows.
            assert read - expected <= 5000
            if expected % 10000 == 0:
                peak = max(peak, rss())
    assert expected == count
    with capsys.disabled():
        print(f"\n1,000,000 inputs mapped in {time.monotonic() - started:.1f} s; "
              f"resident memory at most {peak / 2**20:.1f} MiB (at start {start_rss / 2**20:.1f} MiB)")
    assert peak - start_rss < 100 << 20


def rss():
    """This process's resident memory now, in bytes."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")
