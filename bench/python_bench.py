"""The Python row of make bench: parameter reads per second from Python
against the C++ component, over TCP loopback to the same kelvo-sim in the
same run.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py BUILD_DIR
        [--seconds=S] [--markdown=FILE]

Both sides read the 4-byte parameter 0x1004 (get_Par, type i4) in this one
process: Python with dev.read(0x1004, 0, "i4"), C++ with get_Par in a loop of
its own (bench/python/component_reads.cpp, a module in BUILD_DIR/bin). They
alternate in 30 rounds, each on a new connection after 20 warm-up reads, and
every read is timed by itself. The ratio is the median over the rounds of
Python / C++ reads per second.
"""

import os
import statistics
import sys
import time

import kelvo
from kelvo.testing import Simulator

ROUNDS = 30


def python_round(text, seconds):
    with kelvo.connect(text) as dev:
        read = dev.read
        for _ in range(20):
            read(0x1004, 0, "i4")
        ns = []
        clock = time.perf_counter_ns
        end = clock() + int(seconds * 1e9)
        before = clock()
        while before < end:
            read(0x1004, 0, "i4")
            after = clock()
            ns.append(after - before)
            before = after
    return ns




def rate(ns):
    return len(ns) * 1e9 / sum(ns) if ns else 0.0


def duration(ns):
    return f"{ns / 1e3:.2f} µs" if ns >= 1e3 else f"{ns:.1f} ns"


def cells(ns):
    ordered = sorted(ns)
    return [f"{rate(ns):.0f}", duration(ordered[len(ordered) // 2]),
            duration(ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))])]


def main(args):
    build = args[0]
    options = dict(a[2:].split("=", 1) for a in args[1:] if a.startswith("--") and "=" in a)
    seconds = max(0.1, float(options.get("seconds", "3"))) / ROUNDS
    sys.path.insert(0, os.path.join(build, "bin"))
    from _component_reads import timed_reads
    python_ns, component_ns, ratios = [], [], []
    with Simulator(executable=os.path.join(build, "bin", "kelvo-sim")) as sim:
        text = sim.text()
        for round_ in range(ROUNDS):
            if round_ % 2 == 0:
                p = python_round(text, seconds)
                c = timed_reads(text, seconds)
            else:
                c = timed_reads(text, seconds)
                p = python_round(text, seconds)
            python_ns += p
            component_ns += c
            ratios.append(rate(p) / rate(c))
    row = ["TCP loopback"] + cells(python_ns) + cells(component_ns)
    row.append(f"{statistics.median(ratios):.3f}")
    table = (
        "### Parameter reads from Python against the C++ component\n\n"
        "| link | Python reads/s | p50 | p99 | C++ component reads/s | p50 | p99 | ratio |\n"
        "|---|---:|---:|---:|---:|---:|---:|---:|\n"
        "| " + " | ".join(row) + " |\n\n"
        "Goal: ratio of at least 0.9. Python: `dev.read(0x1004, 0, \"i4\")`; C++: `get_Par` "
        "in a C++ loop in the same process (bench/python/component_reads.cpp); same kelvo-sim, "
        "alternating rounds. "
        "Ratio: the median over the rounds of Python / C++ reads per second.\n\n"
    )
    print(table)
    if "markdown" in options:
        with open(options["markdown"], "a") as out:
            out.write(table)


if __name__ == "__main__":
    if not sys.argv[1:]:
        raise SystemExit(__doc__)
    main(sys.argv[1:])
