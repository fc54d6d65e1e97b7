#!/usr/bin/env python3
"""Acquires from a Kivo device (or kivosim) for a number of seconds with a
band filter, printing a live line (datagram rate, latest sequence number,
sequence gaps), then draws the last second of three channels, raw and
filtered, from the files it wrote into a PNG.

usage: live_plot.py [--port P] [--channels N] [--seconds S] [--savedir DIR] [--png FILE]
Needs the package kivo (PYTHONPATH=build/python) and matplotlib.
"""

import argparse
import os
import sys
import time

import matplotlib

matplotlib.use("Agg")  # files only: no display needed
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import kivo  # noqa: E402

# A second-order Butterworth band-pass from 0.05 to 0.25 of the Nyquist
# frequency (butter(2, [0.05 0.25]) in Octave's signal package).
B = [0.067455273889071923, 0, -0.13491054777814385, 0, 0.067455273889071923]
A = [1, -2.9445317761650216, 3.3862060444122672, -1.8442867368325571, 0.4128015980961886]
CHANNELS_SHOWN = 3


def acquire(args):
    """Runs the acquisition; returns its final status and its two files."""
    # On a terminal the live line is rewritten in place; elsewhere it is a line each time.
    line_start = "\r" if sys.stdout.isatty() else "\n"
    with kivo.Acquisition(args.port, args.channels, args.savedir, B, A) as acq:
        end = time.monotonic() + args.seconds
        last_time, last_count, latest = time.monotonic(), 0, None
        while time.monotonic() < end:
            frame = acq.read(timeout=0.1)
            latest = frame.sequence_no if frame is not None else latest
            now = time.monotonic()
            if now - last_time >= 0.5:
                s = acq.status()
                rate = (s["datagrams"] - last_count) / (now - last_time)
                last_time, last_count = now, s["datagrams"]
                sys.stdout.write("%s%6.0f datagrams/s   latest sequence no %5s   gaps %d   "
                                 % (line_start, rate, "-" if latest is None else latest, s["sequence_gaps"]))
                sys.stdout.flush()
    sys.stdout.write("\n")
    status = acq.status()  # after close: the final counts
    files = {}
    for kind in ("raw", "filtered"):
        stem = "_kivo_samples.dat" if kind == "raw" else "_kivo_filtered_samples.dat"
        names = sorted(n for n in os.listdir(args.savedir) if n.endswith(stem))
        files[kind] = os.path.join(args.savedir, names[-1]) if names else None
    return status, files


def last_second(path):
    """Slot times (s, from the first one shown) of the file's last second, and
    the lowest and highest sample of each channel in each of those slots."""
    rec = kivo.read_recording(path)
    stamps = np.asarray(rec.stamps)
    keep = np.flatnonzero((stamps >= stamps[-1] - 1.0) & ~rec.stale)
    samples = np.asarray(rec.samples).reshape(rec.slots, rec.nsamp, rec.nchans)[keep]
    return stamps[keep] - stamps[keep[0]], samples.min(axis=1), samples.max(axis=1)


def draw(files, png):
    """The range that each channel's samples take within each datagram: at
    thousands of samples per second a second of the waves themselves would
    be a solid band, while the range shows what the filter passes."""
    fig, axes = plt.subplots(2, 1, sharex=True, figsize=(10, 6))
    for ax, kind in zip(axes, ("raw", "filtered")):
        t, low, high = last_second(files[kind])
        for ch in range(min(CHANNELS_SHOWN, low.shape[1])):
            ax.fill_between(t, low[:, ch], high[:, ch], alpha=0.4, step="post", label="channel %d" % ch)
        ax.set_title("%s samples, last second: range within each datagram" % kind)
        ax.set_ylabel("counts")
        ax.legend(loc="upper right")
    axes[-1].set_xlabel("seconds")
    fig.tight_layout()
    fig.savefig(png, dpi=100)


def main():
    parser = argparse.ArgumentParser(description="Live acquisition with a plot of the last second.")
    parser.add_argument("--port", type=int, default=55123)
    parser.add_argument("--channels", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--savedir", default=".")
    parser.add_argument("--png", default="live_plot.png")
    args = parser.parse_args()
    try:
        status, files = acquire(args)
    except kivo.KivoError as e:
        print("live_plot: %s" % e, file=sys.stderr)
        return 2
    print("%d datagrams, %d blocks saved, %d gaps, %d kernel drops"
          % (status["datagrams"], status["blocks_saved"], status["sequence_gaps"], status["kernel_drops"]))
    if status["blocks_saved"] == 0 or not all(files.values()):
        print("live_plot: no whole block was saved: nothing to draw", file=sys.stderr)
        return 1
    draw(files, args.png)
    print("drawn: %s" % args.png)
    return 0


if __name__ == "__main__":
    sys.exit(main())
