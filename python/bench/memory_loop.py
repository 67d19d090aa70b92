#!/usr/bin/env python3
"""Resident memory over many in-process runs of the sample observation.

    memory_loop.py SAMPLE_DIR [RUNS]

Runs varto.run on the sample RUNS times (default 1000) and prints the resident
set size after the first 50 runs and after the last, and their difference.
Import varto from the build with PYTHONPATH=build/python.
"""

import shutil
import sys
import tempfile

import varto


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    sample = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    with tempfile.TemporaryDirectory(prefix="varto-memory-") as work:
        folder = shutil.copytree(sample, f"{work}/obs")
        warm = min(50, runs)
        for _ in range(warm):
            varto.run([], cwd=folder)
        start = rss_kib()
        for _ in range(runs - warm):
            result = varto.run([], cwd=folder)
        end = rss_kib()
    print(f"{runs} runs: resident {start / 1024:.1f} MiB after {warm}, {end / 1024:.1f} MiB "
          f"after {runs}: {(end - start) / 1024:+.1f} MiB (HISTTIME {result.ledger['HISTTIME']:.1f} s)")


if __name__ == "__main__":
    main()
