#!/usr/bin/env python3
"""Compares the band filter of two builds on a shared, loaded machine.

    compare_builds.py ROUNDS BEFORE/filter_bench AFTER/filter_bench

Runs the two filter_bench programs in turn, ROUNDS times each (interleaved,
so that a change of load falls on both), without Octave, and prints for every
instruction set and channel count the median over the rounds of each run's
median and of each run's best figure (M channel-samples/s; milliseconds for
the largest block), and the ratio after / before.
"""

import re
import statistics
import subprocess
import sys


def run(program):
    """One run: {(isa, channels): (best, median)} and the largest block."""
    out = subprocess.run([program, "--no-octave", "--reps", "5", "--blocks", "3"], capture_output=True,
                         text=True, check=True).stdout.splitlines()
    isas = next(line for line in out if line.startswith("channels")).split()[1:-2]
    figures = {}
    for line in out:
        row = re.match(r"^(\d+)\s", line)
        if row and "(" in line:
            pairs = re.findall(r"([\d.]+) \(\s*([\d.]+)\)", line)
            for isa, (best, median) in zip(isas, pairs):
                figures[(isa, row.group(1))] = (float(best), float(median))
        largest = re.search(r": ([\d.]+) ms \(median ([\d.]+) ms\)", line)
        if largest:
            figures[("largest", "15")] = (float(largest.group(1)), float(largest.group(2)))
    return figures


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    rounds, programs = int(sys.argv[1]), sys.argv[2:]
    runs = {program: [] for program in programs}
    for _ in range(rounds):
        for program in programs:
            runs[program].append(run(program))
    print("%-9s %3s  %22s  %22s  %13s" % ("path", "ch", "median: before, after", "best: before, after",
                                          "after/before"))
    for key in runs[programs[0]][0]:
        medians = [statistics.median(r[key][1] for r in runs[p]) for p in programs]
        bests = [statistics.median(r[key][0] for r in runs[p]) for p in programs]
        print("%-9s %3s  %10.3f %10.3f  %10.3f %10.3f  %6.3f %6.3f" % (key + tuple(medians) + tuple(bests) + (
            medians[1] / medians[0], bests[1] / bests[0])))


if __name__ == "__main__":
    main()
