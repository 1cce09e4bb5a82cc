# SPDX-License-Identifier: Apache-2.0
# kelvra.Grid against real agents: results, order, failures, data blocks,
# an agent lost mid-map, asyncio, NumPy inputs, and grids that cannot start.
import asyncio
import concurrent.futures
import os
import resource
import socket
import subprocess

import numpy
import pytest

import kelvra
from conftest import PI, SUBMIT, TASKLIB, WORDCOUNT, EXAMPLE_DATA, free_port

LIB = os.path.basename(TASKLIB)


def grid_on(agents, **options):
    grid = kelvra.Grid(agents=[agent.address for agent in agents], data_port=agents[0].data_port, **options)
    grid.add_file(TASKLIB)
    grid.add_file(PI)
    return grid


def test_submit_and_map_give_outputs_in_input_order(agents):
    with grid_on(agents(2)) as grid:
        future = grid.submit("libexample_pi.so", "EstimatePi", b"1")
        assert isinstance(future, concurrent.futures.Future)
        assert future.result(60) == b"seed=1 samples=1000000 inside=785011 pi=3.140044\n"
        assert not future.cancel()
        # Inputs of every bytes-like kind; SlowEcho on two agents answers out
        # of order, map yields in order.
        inputs = [b"%d" % n if n % 3 else bytearray(b"%d" % n) for n in range(200)]
        inputs[7] = memoryview(b"xx7xx")[2:3]
        outputs = list(grid.map(LIB, "SlowEcho", iter(inputs)))
        assert outputs == [bytes(x) for x in inputs]
        assert all(type(out) is bytes for out in outputs)
        assert list(grid.map(LIB, "SlowEcho", [])) == []
        with pytest.raises(TypeError, match="bytes-like"):
            grid.submit(LIB, "SlowEcho", "text")


def test_failed_tasks_raise_task_failed(agents):
    with grid_on(agents()) as grid:
        run = grid.map(LIB, "EchoUnlessFail", [b"a", b"b", b"fail 2", b"c"])
        assert next(run) == b"a"
        assert next(run) == b"b"
        with pytest.raises(kelvra.TaskFailed) as failed:
            next(run)
        assert failed.value.input_index == 2
        assert "TaskProc returned false" in failed.value.text
        assert next(run) == b"c"  # the map goes on after a failure
        error = grid.submit(LIB, "EchoUnlessFail", b"fail").exception(60)
        assert isinstance(error, kelvra.TaskFailed) and error.input_index is None
        assert "TaskProc returned false" in error.text
        # A library the grid does not serve, a closed grid.
        with pytest.raises(kelvra.GridError, match='file "libnone.so" is not served'):
            grid.submit("libnone.so", "X", b"")
    with pytest.raises(kelvra.GridError, match="the grid is closed"):
        grid.submit(LIB, "SlowEcho", b"")


def test_data_blocks_plain_and_compressed(agents):
    with grid_on(agents()) as grid:
        grid.add_file(WORDCOUNT)
        with open(os.path.join(EXAMPLE_DATA, "fox.txt"), "rb") as fox:
            grid.add_data("fox", fox.read())
        with open(os.path.join(EXAMPLE_DATA, "rain.txt"), "rb") as rain:
            grid.add_data("rain", bytearray(rain.read()), compress=True)
        grid.add_data("made", b"one two\nthree\n" * 1000, compress=True)
        outputs = list(grid.map("libexample_wordcount.so", "CountWords", [b"fox", b"rain", b"made"]))
        assert outputs[0].startswith(b"fox: lines=1 words=9 bytes=45\n")
        assert outputs[1].startswith(b"rain: lines=4 words=16 bytes=82\n")
        assert outputs[2].startswith(b"made: lines=2000 words=3000 bytes=14000\n")


def test_an_agent_killed_mid_map_costs_no_result(agents):
    first, second = agents(2)
    with grid_on([first, second]) as grid:
        inputs = [b"%06d" % n for n in range(400)]
        outputs = []
        for output in grid.map(LIB, "SlowEcho", inputs):
            outputs.append(output)
            if len(outputs) == 40:
                second.kill()
        assert outputs == inputs  # every result once, in order
        assert any("127.0.0.1:%d" % second.lobby in warning for warning in grid.warnings)


def test_asyncio(agents):
    async def main(grid):
        return await asyncio.gather(*(grid.run_async(LIB, "SlowEcho", b"%d" % n) for n in range(20)))

    with grid_on(agents()) as grid:
        assert asyncio.run(main(grid)) == [b"%d" % n for n in range(20)]
        with pytest.raises(kelvra.TaskFailed):
            asyncio.run(grid.run_async(LIB, "EchoUnlessFail", b"fail"))


def test_numpy_inputs_are_read_in_place(agents):
    with grid_on(agents()) as grid:
        values = numpy.arange(1000, dtype=numpy.float64)
        assert grid.submit(LIB, "SlowEcho", values).result(60) == values.tobytes()
        assert list(grid.map(LIB, "SlowEcho", numpy.split(values, 10))) == [
            part.tobytes() for part in numpy.split(values, 10)]
        # A strided view cannot be read in place: refused, not copied.
        with pytest.raises(TypeError, match="bytes-like"):
            grid.submit(LIB, "SlowEcho", values[::2])
        # 64 MiB sent: the process grows by the library's one copy, not a
        # second one made in Python (the task fails, so no output comes back).
        big = numpy.zeros(64 << 20, dtype=numpy.uint8)
        big[:4] = numpy.frombuffer(b"fail", dtype=numpy.uint8)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        with pytest.raises(kelvra.TaskFailed):
            grid.submit(LIB, "EchoUnlessFail", big).result(120)
        grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
        assert grown < 1.5 * big.nbytes, f"grew by {grown} bytes for an input of {big.nbytes}"


def submit_error(*arguments):
    """What kelvra-submit says when its grid cannot start."""
    done = subprocess.run([SUBMIT, "--library", PI, "--procedure", "EstimatePi", *arguments, "-"],
                          input=b"1\n", capture_output=True, timeout=60)
    assert done.returncode == 2
    return done.stderr.decode().strip().removeprefix("kelvra-submit: ")


def test_a_grid_that_cannot_start_says_why_as_kelvra_submit_does(agents):
    closed = free_port()
    with pytest.raises(kelvra.GridError) as unreachable:
        kelvra.Grid(agents=[f"127.0.0.1:{closed}"], data_port=free_port())
    assert str(unreachable.value).startswith(f"no agent reachable: agent 127.0.0.1:{closed} is unreachable")
    assert str(unreachable.value) == submit_error("--agent", f"127.0.0.1:{closed}", "--data-port", str(free_port()))

    agent, = agents()
    with socket.socket() as taken:
        taken.bind(("", agent.data_port))
        taken.listen()
        with pytest.raises(kelvra.GridError, match=f"data port {agent.data_port} is taken") as busy:
            kelvra.Grid(agents=[agent.address], data_port=agent.data_port)
        assert str(busy.value) == submit_error("--agent", agent.address, "--data-port", str(agent.data_port))

    with pytest.raises(kelvra.GridError, match="no agent given"):
        kelvra.Grid()
    with pytest.raises(kelvra.GridError, match="bad port|port"):
        kelvra.Grid(agents=["127.0.0.1:99999"])
    with pytest.raises(kelvra.GridError, match="the local agent cannot start|the local agent ended at start"):
        kelvra.Grid(local=True, agent_binary="/nonexistent/kelvra-agent")
    with pytest.raises(kelvra.GridError, match=f"monitor 127.0.0.1:{closed}"):
        kelvra.Grid(monitor=f"127.0.0.1:{closed}")


def test_closing_the_grid_fails_what_is_unanswered(agents):
    grid = grid_on(agents())
    run = grid.map(LIB, "SlowEcho", [b"%d" % n for n in range(100)])
    assert next(run) == b"0"
    # Queued behind the map's 99 tasks of 20 ms on a pool of a few threads.
    futures = [grid.submit(LIB, "SlowEcho", b"%d" % n) for n in range(100)]
    grid.close()
    assert grid.closed
    assert all(future.done() for future in futures)
    closed = [f.exception() for f in futures if f.exception() is not None]
    assert closed and all(isinstance(error, kelvra.GridError) for error in closed)
    assert "closed before the task was answered" in str(closed[0])
    with pytest.raises(kelvra.GridError, match="closed before the task was answered"):
        for _ in run:
            pass
    grid.close()  # again: nothing
