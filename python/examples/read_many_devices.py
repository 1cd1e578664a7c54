"""Reads 64 simulated devices at once from a thread pool, one object per device.

    PYTHONPATH=build/python /usr/bin/python3 python/examples/read_many_devices.py [COUNT]

One kelvo-sim serves the devices, each on a loopback address of its own.
Every thread connects to its device, reads a parameter 200 times and reports
its rate; the GIL is free while a read waits on the link, so the threads
overlap.
"""

import sys
import time
from concurrent.futures import ThreadPoolExecutor

from kelvo.testing import Simulator

READS = 200


def read_device(sim, device):
    with sim.connect(device=device) as dev:
        start = time.perf_counter()
        values = {dev.read(0x1004, 0, "i4") for _ in range(READS)}
        seconds = time.perf_counter() - start
        return sim.addresses[device - 1], values, READS / seconds


def main(count):
    with Simulator(devices=count) as sim:
        start = time.perf_counter()
        with ThreadPoolExecutor(max_workers=count) as pool:
            results = list(pool.map(lambda k: read_device(sim, k), range(1, count + 1)))
        seconds = time.perf_counter() - start
    for address, values, rate in results[:4]:
        print(f"{address:>16}  0x1004 = {values}  {rate:7.0f} reads/s")
    print(f"... {count} devices, {count * READS} reads in {seconds:.2f} s: "
          f"{count * READS / seconds:.0f} reads/s together")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 64)
