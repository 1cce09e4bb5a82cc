# SPDX-License-Identifier: Apache-2.0
"""python_bench: the Python package as a user of one agent, the counterpart
of client_bench (ClientBench.cpp) for bench/python_vs_client.sh.

  python3 python_bench.py pipelined --lobby PORT --data PORT [-n N] [--lib FILE] [--proc Noop]
  python3 python_bench.py echo --lobby PORT --data PORT --size BYTES [-n N] [--lib FILE]

pipelined: grid.map of N tasks with an empty input (Noop by default);
tasks/s from the start of the map to its last output. echo: grid.map of N
Echo tasks of BYTES each, the inputs made before the clock starts (the task
number in the first 8 bytes), every output compared with its input; MB/s of
payload one way. One warm-up task first makes the agent fetch and load the
library. Output: one key=value line as client_bench prints; errors on
standard error, exit 2.
"""
import argparse
import itertools
import os
import resource
import sys
import time

import kelvra


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["pipelined", "echo"])
    parser.add_argument("--lobby", type=int, required=True)
    parser.add_argument("--data", type=int, required=True)
    parser.add_argument("-n", type=int, default=0)
    parser.add_argument("--size", type=int, default=0)
    parser.add_argument("--lib", default="bin/noop_task.so")
    parser.add_argument("--proc", default="")
    options = parser.parse_args()
    echo = options.mode == "echo"
    if echo and options.size < 8:
        sys.exit("python_bench: ERROR echo needs --size of at least 8")
    procedure = options.proc or ("Echo" if echo else "Noop")
    tasks = options.n or (256 if echo else 20000)
    library = os.path.basename(options.lib)

    setup_start = time.monotonic()
    with kelvra.Grid(agents=[f"127.0.0.1:{options.lobby}"], data_port=options.data) as grid:
        grid.add_file(options.lib)
        pattern = bytes(ord("a") + i % 23 for i in range(min(options.size, 23 * 4096))) if echo else b""
        pattern = (pattern * (options.size // max(len(pattern), 1) + 1))[:options.size]
        inputs = [n.to_bytes(8, "little") + pattern[8:] for n in range(tasks)] if echo else None
        grid.submit(library, procedure, inputs[0] if echo else b"").result(120)
        setup_ms = (time.monotonic() - setup_start) * 1000

        cpu_start = cpu_seconds()
        start = time.monotonic()
        wrong = 0
        if echo:
            for number, output in enumerate(grid.map(library, procedure, inputs)):
                wrong += output != inputs[number]
        else:
            for output in grid.map(library, procedure, itertools.repeat(b"", tasks)):
                wrong += output != b""
        wall = time.monotonic() - start
        cpu = cpu_seconds() - cpu_start
        if wrong:
            sys.exit(f"python_bench: ERROR {wrong} wrong results")
        pool = grid.progress()["pool_threads"]
    line = (f"mode={options.mode} client=python tasks={tasks} proc={procedure} size={options.size} pool={pool} "
            f"wall_s={wall:.4f} tasks_per_s={tasks / wall:.0f}")
    if echo:
        payload = tasks * options.size
        line += f" bytes={payload} MBps={payload / wall / 1e6:.1f}"
    print(f"{line} client_cpu_s={cpu:.3f} setup_ms={setup_ms:.1f}")


if __name__ == "__main__":
    try:
        main()
    except (kelvra.GridError, kelvra.TaskFailed) as error:
        sys.exit(f"python_bench: ERROR {error}")
