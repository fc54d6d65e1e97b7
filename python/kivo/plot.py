"""python3 -m kivo plot FILE: a picture of a recording, without Octave.

Two panels: a window of chosen channels against each sample's time, and the
datagram rate over the whole recording, with sequence gaps and stale slots
(repeated datagrams) marked in both. Times are the fitted sample times (the
device's clock); a file whose fit cannot be had is drawn against its receive
stamps, and a kivorec file without a fit against sample numbers.

Drawn with matplotlib's Agg backend: no display is needed.
"""

import argparse
import datetime
import os
import sys

import numpy as np

from kivo import sample_times
from kivo.recording import KINDS, open_recording

# The window shown when none is asked for: this many samples per channel.
DEFAULT_WINDOW_SAMPLES = 500
DEFAULT_CHANNELS = (1, 2, 3)
# The rate is counted in bins of the first of these widths (seconds) that
# gives at most this many bins over the recording.
RATE_BINS = 300
BIN_WIDTHS = (0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 30, 60, 300, 600, 3600)
# Mid-scale of the stored samples: the band filter stores its output about 32767.
MID_SCALE = {"raw": 32768, "recorder": 32768, "filtered": 32767}
GAP_COLOR, STALE_COLOR, WINDOW_COLOR = "tab:red", "tab:orange", "0.85"


class Clock:
    """Where each slot's first sample lies: `at` (NaN for slots not placed),
    in `unit` ("s": seconds since 1970; "sample": sample numbers, for a file
    that holds no times), the samples per unit (`rate`) and what the places
    come from (`source`, for the labels)."""

    def __init__(self, at, unit, rate, source):
        self.at, self.unit, self.rate, self.source = at, unit, rate, source


def slot_clock(rec):
    fresh = ~rec.stale
    try:
        timing, first_samples, placed = rec._places()
    except RuntimeError:  # no fit in the metadata, and no extension to fit the stamps
        timing = None
    if timing and timing.get("sample_rate"):
        at = sample_times.sample_times(first_samples, placed & fresh, timing["segments"], 1)
        if np.isfinite(at).any():
            return Clock(at, "s", float(timing["sample_rate"]), "fitted sample times")
    if rec.stamps is not None:
        at = np.where(fresh, rec.stamps, np.nan)
        span = np.nanmax(at) - np.nanmin(at) if fresh.sum() > 1 else 0.0
        rate = (fresh.sum() - 1) * rec.nsamp / span if span > 0 else 1.0
        return Clock(at, "s", rate, "receive stamps")
    first = sample_times.places_by_chain(rec.sequence_no, [], rec.nsamp).astype(np.float64)
    return Clock(np.where(fresh, first, np.nan), "sample", 1.0, "sample numbers (the file holds no times)")


def sequence_gaps(rec):
    """Slots whose datagram does not follow the fresh slot before it."""
    fresh = np.flatnonzero(~rec.stale)
    return fresh[sample_times.sequence_breaks(rec.sequence_no[fresh])]


def marked_places(rec, clock, gaps):
    """(places of the sequence gaps, places of the stale slots) on `clock`."""
    return clock.at[gaps], stale_places(rec, clock.at)


def stale_places(rec, at):
    """The place of each stale slot: that of the last placed slot before it."""
    stale = np.flatnonzero(rec.stale)
    known = np.where(np.isfinite(at), np.arange(len(at)), 0)
    before = np.maximum.accumulate(known)[stale]
    return at[before]


def window_slots(clock, start, length):
    """The slots holding samples from start to start + length (both from the
    first placed sample, in the clock's unit); start None: at the middle one
    of the placed slots, where a filter has settled and which is never in a
    gap."""
    origin = np.nanmin(clock.at)
    if length is None:
        length = DEFAULT_WINDOW_SAMPLES / clock.rate
    end = np.nanmax(clock.at) - origin
    if start is None:
        placed = np.flatnonzero(np.isfinite(clock.at))
        start = clock.at[placed[len(placed) // 2]] - origin
    elif not 0 <= start <= end:
        raise ValueError("--start must be from 0 to %g, the last datagram's place (%s)" % (end, clock.unit))
    lo, hi = origin + start, origin + start + length
    slot_length = np.nanmedian(np.diff(clock.at)) if len(clock.at) > 1 else 0.0
    inside = np.flatnonzero((clock.at >= lo - abs(slot_length)) & (clock.at <= hi))
    return inside, lo, hi


def window_rows(rec, clock, slots, lo, hi, gaps):
    """(x of every sample row of the slots, from lo, in the clock's unit; the
    rows' samples as counts from mid-scale), rows outside [lo, hi) dropped
    and a NaN row before each slot after a sequence gap, so that no line is
    drawn across datagrams that never came."""
    n = len(slots)
    x = clock.at[slots, None] + np.arange(rec.nsamp) / clock.rate - lo
    values = rec.records["samples"][slots].astype(np.float64) - MID_SCALE[rec.kind]
    after_gap = np.isin(slots, gaps)
    x = np.concatenate([np.full((n, 1), np.nan), x], axis=1)
    values = np.concatenate([np.full((n, 1, rec.nchans), np.nan), values], axis=1)
    rows = np.concatenate([after_gap[:, None], np.ones((n, rec.nsamp), bool)], axis=1).ravel()
    x, values = x.ravel()[rows], values.reshape(-1, rec.nchans)[rows]
    keep = np.isnan(x) | ((x >= 0) & (x < hi - lo))
    return x[keep], values[keep]


def nice_bin(span):
    for width in BIN_WIDTHS:
        if span / width <= RATE_BINS:
            return width
    return span / RATE_BINS


def utc_text(seconds):
    moment = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
    return moment.strftime("%Y-%m-%d %H:%M:%S.%f")[:-3] + " UTC"


def mark(ax, places, color, label, style):
    """Vertical lines across the axes at `places`, one legend entry."""
    places = places[np.isfinite(places)]
    if len(places):
        ax.vlines(places, 0, 1, transform=ax.get_xaxis_transform(), colors=color, linestyles=style,
                  linewidth=1, label="%s (%d)" % (label, len(places)))


def draw_window(ax, rec, clock, channels, window, gaps, marks):
    slots, lo, hi = window_slots(clock, *window)
    x, values = window_rows(rec, clock, slots, lo, hi, gaps)
    scale, unit = (1000.0, "ms") if clock.unit == "s" and hi - lo < 1 else (1.0, clock.unit)
    for c in channels:
        ax.plot(x * scale, values[:, c - 1], linewidth=1.2, label="channel %d" % c)
    gaps, stale = marks
    mark(ax, (gaps[(gaps >= lo) & (gaps <= hi)] - lo) * scale, GAP_COLOR, "sequence gap", "--")
    mark(ax, (stale[(stale >= lo) & (stale <= hi)] - lo) * scale, STALE_COLOR, "stale slot", ":")
    ax.set_xlim(0, (hi - lo) * scale)
    origin = np.nanmin(clock.at)
    if clock.unit == "s":
        ax.set_xlabel("%s from %s (%.3f s into the recording; %s)"
                      % (unit, utc_text(lo), lo - origin, clock.source))
    else:
        ax.set_xlabel("samples from sample %d (%s)" % (lo, clock.source))
    ax.set_ylabel("counts from mid-scale (%d)" % MID_SCALE[rec.kind])
    ax.set_title("%s samples, %d per channel shown" % (rec.kind.capitalize(), np.count_nonzero(~np.isnan(x))))
    ax.grid(True, alpha=0.4)
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1), fontsize="small")
    return lo - origin, hi - origin


def draw_rate(ax, rec, clock, shown, marks):
    at = clock.at[np.isfinite(clock.at)]
    origin = at.min()
    period = rec.nsamp / clock.rate  # one datagram: the last bin ends one after the last datagram
    span = at.max() - origin + period
    if clock.unit == "s":
        width = nice_bin(span)
        scale, ylabel = 1.0, "datagrams/s"
    else:  # datagram numbers: the share of them received
        width = rec.nsamp * max(1, int(np.ceil(span / rec.nsamp / RATE_BINS)))
        scale, ylabel = 100.0 * rec.nsamp, "% of datagrams received"
    edges = np.arange(0, span, width)
    if len(edges) > 1 and span - edges[-1] < width / 2:
        edges = edges[:-1]  # a last bin of less than half a width counts too few to show a rate
    edges = np.append(edges, span)
    counts, _ = np.histogram(at - origin, edges)
    rate = counts * scale / np.diff(edges)
    ax.stairs(rate, edges, color="0.2", linewidth=1.2, label="received")
    lo, hi = shown
    ax.axvspan(lo, max(hi, lo + span / 300), color=WINDOW_COLOR, label="window above")  # never too thin to see
    gaps, stale = marks
    mark(ax, gaps - origin, GAP_COLOR, "sequence gap", "--")
    mark(ax, stale - origin, STALE_COLOR, "stale slot", ":")
    ax.set_ylim(0, max(1.0, 1.2 * rate.max()))
    ax.set_xlim(0, edges[-1])
    if clock.unit == "s":
        mean = (len(at) - 1) / (at.max() - origin) if at.max() > origin else float("nan")
        ax.set_xlabel("seconds from the first datagram (%s); bins of %g ms; mean %.1f datagrams/s"
                      % (clock.source, width * 1000, mean))
    else:
        ax.set_xlabel("sample number from the first datagram (%s)" % clock.source)
    ax.set_ylabel(ylabel)
    ax.set_title("Datagram rate over the recording")
    ax.grid(True, alpha=0.4)
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1), fontsize="small")


def heading(rec, clock):
    meta = rec.metadata or {}
    seconds = clock.unit == "s"
    rate = ("%.1f samples/s" % clock.rate) if seconds else "sample rate unknown"
    parts = ["%s: %d channels" % (rec.kind, rec.nchans), "%d slots" % rec.slots, rate]
    if "ended" in meta:
        parts.append("ended: %s" % meta["ended"])
    return "%s\n%s" % (os.path.basename(rec.path), ", ".join(parts))


def draw(rec, channels, window, output):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    clock = slot_clock(rec)
    if not np.isfinite(clock.at).any():
        raise ValueError("%s holds no datagram to draw" % rec.path)
    arrivals = clock  # the rate as received, where the file keeps the receive stamps
    if rec.stamps is not None:
        arrivals = Clock(np.where(rec.stale, np.nan, rec.stamps), "s", clock.rate, "receive stamps")
    gaps = sequence_gaps(rec)
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(12, 8), gridspec_kw={"height_ratios": [3, 2]})
    shown = draw_window(top, rec, clock, channels, window, gaps, marked_places(rec, clock, gaps))
    draw_rate(bottom, rec, arrivals, shown, marked_places(rec, arrivals, gaps))
    fig.suptitle(heading(rec, clock))
    fig.tight_layout()
    fig.savefig(output, dpi=100)
    plt.close(fig)


def channel_list(text):
    try:
        channels = [int(c) for c in text.split(",") if c.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError("give channel numbers separated by commas, like 1,5,8") from None
    if not channels or min(channels) < 1:
        raise argparse.ArgumentTypeError("channels are numbered from 1")
    return channels


def parser(prog):
    p = argparse.ArgumentParser(
        prog=prog, description="Draws a Kivo sample file into a PNG: a window of chosen channels against "
        "each sample's time, and the datagram rate over the whole recording, with sequence gaps and "
        "stale slots (repeated datagrams) marked.",
        epilog="Times are the fitted sample times; without a fit, the receive stamps; a kivorec file "
        "without a fit is drawn against sample numbers, and --start and --window count samples. "
        "Exit status: 0 the picture was written; 1 it could not be drawn or written (no matplotlib, "
        "a folder that cannot be written); 2 bad command line, or a file that cannot be read.")
    p.add_argument("file")
    p.add_argument("-o", "--output", help="the PNG to write (default: FILE with .png for .dat)")
    p.add_argument("--show", type=channel_list, metavar="C,C,...",
                   help="the channels to draw, from 1 (default: 1,2,3, or those the file has)")
    p.add_argument("--start", type=float, metavar="SECONDS",
                   help="the window's start, from the first sample (default: the middle of the recording)")
    p.add_argument("--window", type=float, metavar="SECONDS",
                   help="the window's length (default: %d samples per channel)" % DEFAULT_WINDOW_SAMPLES)
    p.add_argument("--channels", type=int, metavar="N", help="channel count, when there is no .json file")
    p.add_argument("--kind", choices=KINDS, help="raw, filtered or recorder (default: from the .json)")
    return p


def main(argv=None, prog="python3 -m kivo plot", name="kivo plot"):
    args = parser(prog).parse_args(argv)
    if args.window is not None and args.window <= 0:
        print("%s: --window must be more than 0" % name, file=sys.stderr)
        return 2
    try:
        rec = open_recording(args.file, args.channels, args.kind)
        channels = args.show or [c for c in DEFAULT_CHANNELS if c <= rec.nchans]
        if max(channels) > rec.nchans:
            raise ValueError("%s has %d channels: --show %s" % (args.file, rec.nchans,
                                                                ",".join(map(str, channels))))
        if rec.slots == 0:
            raise ValueError("%s holds no datagram to draw" % args.file)
    except (OSError, ValueError) as e:
        print("%s: %s" % (name, e), file=sys.stderr)
        return 2
    output = args.output or os.path.splitext(args.file)[0] + ".png"
    try:
        draw(rec, channels, (args.start, args.window), output)
    except ImportError as e:
        print("%s: drawing needs matplotlib (Debian: python3-matplotlib; pip install matplotlib): %s"
              % (name, e), file=sys.stderr)
        return 1
    except ValueError as e:
        print("%s: %s" % (name, e), file=sys.stderr)
        return 2
    except OSError as e:
        print("%s: cannot write %s: %s" % (name, output, e), file=sys.stderr)
        return 1
    print(output)
    return 0
