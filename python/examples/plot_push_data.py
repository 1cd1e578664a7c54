"""Records a push-data stream from the simulator and plots it to a PNG.

    PYTHONPATH=build/python /usr/bin/python3 python/examples/plot_push_data.py [OUT.png]

Push data is streamed on a serial link: kelvo-sim serves one on a
pseudo-terminal and sends a counting byte pattern at --push-rate bytes/s.
"""

import sys
import time
from contextlib import closing

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from kelvo.testing import Simulator  # noqa: E402

RATE = 20000  # bytes per second the simulator streams
SECONDS = 1.0


def record(dev):
    """(arrival time, chunk) for SECONDS of the stream."""
    chunks = []
    start = time.monotonic()
    with closing(dev.push_data(stream=0, command=2, chunk=250)) as stream:
        for chunk in stream:
            chunks.append((time.monotonic() - start, chunk))
            if chunks[-1][0] >= SECONDS:
                break
    return chunks


def main(out):
    with Simulator(serial=True, push_rate=RATE) as sim, sim.connect("serial") as dev:
        chunks = record(dev)
    data = b"".join(chunk for _, chunk in chunks)
    received = [sum(len(c) for _, c in chunks[: i + 1]) for i in range(len(chunks))]

    figure, (values, total) = plt.subplots(2, 1, figsize=(8, 6), constrained_layout=True)
    figure.suptitle(f"Push data from kelvo-sim over its serial link ({RATE} bytes/s)")
    shown = data[:1500]
    values.plot(range(len(shown)), list(shown), linewidth=0.8)
    values.set_xlabel("byte of the stream")
    values.set_ylabel("value")
    total.step([t for t, _ in chunks], received, where="post", label="received")
    total.plot([0, SECONDS], [0, RATE * SECONDS], linestyle="--", label=f"{RATE} bytes/s")
    total.set_xlabel("seconds since the start command")
    total.set_ylabel("bytes received")
    total.legend()
    figure.savefig(out, dpi=80)
    print(f"{len(data)} bytes in {len(chunks)} chunks of 250 -> {out}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "push_data.png")
