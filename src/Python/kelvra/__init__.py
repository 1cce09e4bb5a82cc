# SPDX-License-Identifier: Apache-2.0
"""kelvra: a grid of kelvra agents as a Python object.

    import kelvra

    with kelvra.Grid(local=True) as grid:        # or agents=[...], or monitor="host"
        grid.add_file("libpi.so")
        for out in grid.map("libpi.so", "EstimatePi", [b"1", b"2", b"3"]):
            print(out.decode(), end="")

Tasks run in the task libraries' native code on the agents; this package
sends them and takes their results through kelvra's C++ client library.
"""
import asyncio
import atexit
import concurrent.futures
import os
import weakref
from typing import Iterable, Iterator, Optional, Sequence, Union

from .errors import GridError, TaskFailed
from . import _kelvra

__all__ = ["Grid", "GridError", "TaskFailed"]

# Unanswered tasks of one map at most, and their inputs' bytes (a map reads
# its inputs only as far as these allow).
_MAP_WINDOW = 10000
_MAP_WINDOW_BYTES = 64 << 20

_open_grids: "weakref.WeakSet[Grid]" = weakref.WeakSet()


@atexit.register
def _close_open_grids() -> None:
    # Sessions end and local agents stop before the interpreter goes.
    for grid in list(_open_grids):
        grid.close()


def _built_agent() -> str:
    # In a build tree the package lies in <build>/python/kelvra, beside
    # <build>/kelvra-agent; installed, the agent is found on PATH.
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "kelvra-agent")
    return os.path.normpath(beside) if os.access(beside, os.X_OK) else ""


def _files(library: Union[str, Sequence[str]]) -> list:
    return [library] if isinstance(library, str) else list(library)


class Grid:
    """A grid of kelvra agents: tasks in, results (bytes) out.

    Grid(agents=["10.0.0.5:4102", "10.0.0.6"]) opens a session with each
    agent (HOST or HOST:PORT, the lobby port 4102 by default);
    Grid(monitor="host[:port]") adds every agent a kelvra-monitor lists as
    up; Grid(local=True) starts a private agent on this machine (loopback
    only, its own ports and folders) and stops it when the grid closes, on
    KeyboardInterrupt through ``with``, and when the interpreter ends (make
    it on a thread that lives as long as the grid: the agent is stopped
    when the thread that started it ends).

    The agents connect back to this process's data port (``data_port``,
    4103 unless given; a free one for a local agent) to fetch the files and
    data blocks added here. Every task gets exactly one result: its output
    or a TaskFailed; a task whose agent dies is sent to another one, at most
    ``max_attempts`` times. A grid that cannot start raises GridError.

    Use it in a ``with`` block, or call close().
    """

    def __init__(self, agents: Iterable[str] = (), monitor: Optional[str] = None, local: bool = False, *,
                 agent_binary: Optional[str] = None, data_port: Optional[int] = None, max_attempts: int = 3,
                 speculate_after: float = 0.0) -> None:
        """Opens the grid; raises GridError when it cannot start.

        agent_binary: the kelvra-agent a local grid runs (default: the one
        of this build, else the one on PATH). speculate_after: above 0, a
        task unanswered that many seconds is sent to a second agent too.
        """
        if isinstance(agents, str):
            agents = [agents]
        self._grid = _kelvra._Grid(list(agents), monitor or "", bool(local),
                                   agent_binary if agent_binary is not None else (_built_agent() if local else ""),
                                   int(data_port or 0), int(max_attempts), float(speculate_after))
        _open_grids.add(self)

    def __enter__(self) -> "Grid":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __del__(self) -> None:
        grid = getattr(self, "_grid", None)
        if grid is not None:
            grid.close()

    def close(self) -> None:
        """Ends every session and stops a local agent.

        Futures still unanswered fail with GridError. Closing again does
        nothing.
        """
        self._grid.close()
        _open_grids.discard(self)

    @property
    def closed(self) -> bool:
        """Whether close() was called."""
        return not self._grid.open

    def add_file(self, name: str, data: Optional[bytes] = None) -> None:
        """Serves a task library or companion file to the agents.

        add_file(path) reads the file now and serves it by its base name
        (with ``<path>.minisig`` beside it when that exists, for agents that
        run signed libraries only); add_file(name, data=b"...") serves bytes
        held in memory under ``name``.
        """
        if data is None:
            self._grid.add_file_path(os.fspath(name))
        else:
            self._grid.add_file(name, data)

    def add_data(self, identifier: str, block, compress: bool = False) -> None:
        """Serves a data block (any bytes-like object) that tasks fetch by
        ``identifier`` (GetData); ``compress`` sends it compressed."""
        self._grid.add_data(identifier, block, bool(compress))

    def submit(self, library: Union[str, Sequence[str]], procedure: str, input, *,
               compress: bool = False) -> "concurrent.futures.Future[bytes]":
        """Sends one task and answers a concurrent.futures.Future of its output.

        ``library`` names a file added with add_file (or a list: the library,
        then its companions); ``input`` is any bytes-like object, read
        without a copy in Python. The future's result is the output as
        bytes; a failed task sets TaskFailed. It cannot be cancelled.
        """
        future: concurrent.futures.Future = concurrent.futures.Future()
        future.set_running_or_notify_cancel()
        self._grid.submit(_files(library), procedure, input, bool(compress), future)
        return future

    def map(self, library: Union[str, Sequence[str]], procedure: str, inputs: Iterable, *,
            compress: bool = False, progress: bool = False, window: int = _MAP_WINDOW,
            window_bytes: int = _MAP_WINDOW_BYTES) -> Iterator[bytes]:
        """Runs one task per input and yields the outputs in input order.

        ``inputs`` is any iterable of bytes-like objects, a generator too: it
        is read only as results are taken, at most ``window`` tasks (and
        about ``window_bytes`` of input) ahead of the last output yielded,
        so that memory stays bounded however many there are. A failed task
        raises TaskFailed with its ``input_index`` when its turn comes.
        ``progress=True`` shows a tqdm bar when tqdm is installed.
        """
        run = self._grid.map(_files(library), procedure, inputs, bool(compress), int(window), int(window_bytes))
        if not progress:
            return run
        try:
            from tqdm import tqdm
        except ImportError:
            return run
        total = len(inputs) if hasattr(inputs, "__len__") else None
        return _with_bar(run, tqdm(total=total, unit="task", desc=procedure))

    async def run_async(self, library: Union[str, Sequence[str]], procedure: str, input, *,
                        compress: bool = False) -> bytes:
        """Runs one task and answers its output, for asyncio:
        ``out = await grid.run_async("libpi.so", "EstimatePi", b"3")``."""
        return await asyncio.wrap_future(self.submit(library, procedure, input, compress=compress))

    def progress(self) -> dict:
        """Tasks submitted, done and failed, agents up and their pool threads."""
        return self._grid.progress()

    @property
    def warnings(self) -> list:
        """What went wrong without stopping the grid (an agent unreachable,
        lost or left out), oldest first."""
        return self._grid.warnings()


def _with_bar(run, bar) -> Iterator[bytes]:
    with bar:
        for output in run:
            bar.update(1)
            yield output
