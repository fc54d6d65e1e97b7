#!/usr/bin/env python3
"""Acquires from a Kivo device (or kivosim) for a number of seconds with a
band filter, taking every sample as it arrives (Acquisition.read_samples) and
printing a live line (the sample rate of the fitted clock, the latest
sequence number, gaps, datagrams missed), then draws the last milliseconds of
three channels against their times on the fitted clock into a PNG: raw as
read_samples handed them over, and band-filtered from the file written
meanwhile.

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
KEPT_DATAGRAMS = 1000  # the last ones, held in memory for the figure
SHOWN_SECONDS = 0.005


class Stream:
    """What read_samples handed over: the last rows with their times, and counts."""

    def __init__(self, nchans):
        self.times = np.zeros(0)
        self.samples = np.zeros((0, nchans), np.uint16)
        self.stamps = np.zeros(0)
        self.datagrams = self.gaps = self.missed = 0
        self.latest = None
        self.rate = float("nan")

    def add(self, s):
        self.missed += s.missed
        k = len(s.sequence_no)
        if k == 0:
            return
        steps = np.diff(np.concatenate(([self.latest] if self.latest is not None else [], s.sequence_no))
                        .astype(np.int64)) % 65536
        self.gaps += int(np.count_nonzero(steps != 1))
        self.datagrams += k
        self.latest = int(s.sequence_no[-1])
        if k > 1 and np.all(np.diff(s.sequence_no.astype(np.int64)) % 65536 == 1):
            self.rate = (len(s.times) - 1) / (s.times[-1] - s.times[0])
        rows = KEPT_DATAGRAMS * (len(s.times) // k)
        self.times = np.concatenate((self.times, s.times))[-rows:]
        self.samples = np.concatenate((self.samples, s.samples))[-rows:]
        self.stamps = np.concatenate((self.stamps, s.stamps))[-KEPT_DATAGRAMS:]


def acquire(args):
    """Runs the acquisition; returns the stream taken, its final status and its two files."""
    # On a terminal the live line is rewritten in place; elsewhere it is a line each time.
    line_start = "\r" if sys.stdout.isatty() else "\n"
    with kivo.Acquisition(args.port, args.channels, args.savedir, B, A) as acq:
        stream = Stream(args.channels)
        end = time.monotonic() + args.seconds
        last_line = time.monotonic()
        while time.monotonic() < end:
            stream.add(acq.read_samples(timeout=0.1))
            if time.monotonic() - last_line >= 0.5:
                last_line = time.monotonic()
                sys.stdout.write("%s%10.1f samples/s per channel   latest sequence no %5s   gaps %d   missed %d   "
                                 % (line_start, stream.rate, "-" if stream.latest is None else stream.latest,
                                    stream.gaps, stream.missed))
                sys.stdout.flush()
    sys.stdout.write("\n")
    status = acq.status()  # after close: the final counts
    files = {}
    for kind in ("raw", "filtered"):
        stem = "_kivo_samples.dat" if kind == "raw" else "_kivo_filtered_samples.dat"
        names = sorted(n for n in os.listdir(args.savedir) if n.endswith(stem))
        files[kind] = os.path.join(args.savedir, names[-1]) if names else None
    return stream, status, files


def filtered_rows(path, stream):
    """The filtered file's rows of the datagrams the stream holds (a slot of
    the filtered file carries the stamp of its raw slot)."""
    rec = kivo.read_recording(path)
    tail = slice(max(0, rec.slots - 2 * KEPT_DATAGRAMS), rec.slots)
    mine = np.isin(rec.stamps[tail], stream.stamps)
    samples = np.asarray(rec.records["samples"][tail])[mine]
    return samples.reshape(-1, rec.nchans)


def draw(stream, filtered, png):
    """The last few milliseconds of three channels, raw and filtered, against
    the times of the fitted clock."""
    fig, axes = plt.subplots(2, 1, sharex=True, figsize=(10, 6))
    shown = stream.times >= stream.times[-1] - SHOWN_SECONDS
    t = (stream.times[shown] - stream.times[-1]) * 1000
    for ax, kind, rows, mid in ((axes[0], "raw", stream.samples, 32768), (axes[1], "filtered", filtered, 32767)):
        for ch in range(min(CHANNELS_SHOWN, rows.shape[1])):
            ax.plot(t, rows[shown, ch].astype(float) - mid, label="channel %d" % ch)
        ax.set_title("%s samples, the last %g ms on the fitted clock (%.1f samples/s per channel)"
                     % (kind, SHOWN_SECONDS * 1000, stream.rate))
        ax.set_ylabel("counts from mid-scale")
        ax.legend(loc="upper right")
    axes[-1].set_xlabel("ms before the last sample")
    fig.tight_layout()
    fig.savefig(png, dpi=100)


def main():
    parser = argparse.ArgumentParser(description="Live acquisition with a plot of the last samples.")
    parser.add_argument("--port", type=int, default=55123)
    parser.add_argument("--channels", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--savedir", default=".")
    parser.add_argument("--png", default="live_plot.png")
    args = parser.parse_args()
    try:
        stream, status, files = acquire(args)
    except kivo.KivoError as e:
        print("live_plot: %s" % e, file=sys.stderr)
        return 2
    print("%d datagrams, %d taken live, %d missed, %d gaps, %d kernel drops"
          % (status["datagrams"], stream.datagrams, stream.missed, status["sequence_gaps"], status["kernel_drops"]))
    if not np.any(np.isfinite(stream.times)) or not all(files.values()):
        print("live_plot: no samples arrived: nothing to draw", file=sys.stderr)
        return 1
    draw(stream, filtered_rows(files["filtered"], stream), args.png)
    print("drawn: %s" % args.png)
    return 0


if __name__ == "__main__":
    sys.exit(main())
