#!/usr/bin/env python3
"""What a scan costs: tolverin timed in labs (needs root; nothing leaves the lab namespaces).

    bench/scan_cost.py TOLVERIN_BINARY [RUNS]

- no adapters: 255 probes that each end at once with 35; compared with the usage run (no
  NetBIOS at all), the difference over 255 is the cost of one probe on a missing adapter;
- two adapters and no station: each probe costs its protocol timers, 0.75 s of registration
  and 0.75 s of unanswered query, so the scan should take 3.0 s and no more;
- a station on LANA 1 of 3 answering 0x83: 1.5 s for LANA 0, 0.75 s to register on LANA 1,
  then the answered query and the session exchange.
The timing loop runs inside the client namespace, so lab set-up is not counted.
"""

import os
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lab"))
from lab import Lab, Station  # noqa: E402

TIMER = r"""
import subprocess, sys, time
binary, runs, args = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
for _ in range(runs):
    start = time.perf_counter_ns()
    subprocess.run([binary] + args, stdout=subprocess.DEVNULL, check=False)
    print((time.perf_counter_ns() - start) / 1e6)
"""


def timed(lab, binary, runs, args):
    result = lab.run([sys.executable, "-c", TIMER, binary, str(runs)] + args)
    return [float(line) for line in result.stdout.decode().split()]


def describe(label, samples):
    print(f"{label}: median {statistics.median(samples):.3f} ms, "
          f"min {min(samples):.3f} ms, max {max(samples):.3f} ms over {len(samples)} runs")
    return statistics.median(samples)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    binary = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 20

    with Lab(adapters=0) as lab:
        usage = describe("usage line, no NetBIOS", timed(lab, binary, runs, []))
        scan = describe("scan of 255 missing adapters", timed(lab, binary, runs, ["PLANT7"]))
        print(f"  one probe on a missing adapter: {(scan - usage) / 255 * 1000:.1f} us")

    slow_runs = max(3, runs // 5)
    with Lab(adapters=2) as lab:
        scan = describe("2 adapters, no station", timed(lab, binary, slow_runs, ["PLANT7"]))
        print(f"  above the protocol timers (2 x 1.5 s): {scan - 3000:.1f} ms")

    station = Station(1, ["--name", "PLANT7.COMMAND.S", "--session", "negative:0x83"])
    with Lab(adapters=3, stations=[station]) as lab:
        scan = describe("station on LANA 1 of 3", timed(lab, binary, slow_runs, ["PLANT7"]))
        print(f"  above the protocol timers (1.5 s + 0.75 s): {scan - 2250:.1f} ms")


if __name__ == "__main__":
    main()
