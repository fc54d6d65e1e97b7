"""Every sample's time, from the device's clock fitted to the receive stamps.

Sample k of a datagram numbered u is sample n = u * nsamp + k of the
recording (u: the 16-bit sequence number unwrapped), and its time is
t0 + n / sample_rate on the segment of the fit that holds n. The metadata's
"timing" holds the fit; this module places each slot's datagram and looks its
samples up, with numpy alone. Only a file whose metadata holds no fit needs
the extension kivo._kivo, to fit its stamps as the recorder does.
"""

import numpy as np

WRAP = 65536
# A slot of kivorec's file lies up to this many numbers behind the one before
# it (a late or repeated datagram); otherwise it is ahead (kivo/slot_anchors.h).
CHAIN_LATE_WINDOW = 64


def sequence_breaks(sequence_no):
    """Where the device's numbering breaks: the indices of the datagrams of
    `sequence_no` not numbered one after the datagram before."""
    return np.flatnonzero(np.diff(sequence_no.astype(np.int64)) % WRAP != 1) + 1


def _segment_table(segments):
    """first_sample, last_sample, t0 and sample_rate of every segment, as
    arrays (NaN where the fit has no figure)."""
    def column(key, kind):
        return np.array([np.nan if s[key] is None else s[key] for s in segments], kind)
    return (column("first_sample", np.int64), column("last_sample", np.int64),
            column("t0", np.float64), column("sample_rate", np.float64))


def places_from_stamps(sequence_no, stamps, segments, nsamp):
    """The first sample index of each datagram, from its number and stamp.

    On each segment's line the stamp says about which datagram it is; delays
    only add, so of the numbers with the datagram's low 16 bits, the one whose
    line time lies between a quarter of a wrap after the stamp and three
    quarters before it, inside the segment, nearest the stamp. Returns
    (first_samples, placed): placed is False where no segment holds one."""
    seq = np.asarray(sequence_no, np.int64)
    stamps = np.asarray(stamps, np.float64)
    best = np.zeros(len(seq), np.int64)
    best_distance = np.full(len(seq), np.inf)
    usable = np.isfinite(stamps)
    for first, last, t0, rate in zip(*_segment_table(segments)):
        if not (np.isfinite(t0) and np.isfinite(rate)):
            continue
        ahead = np.where(usable, (stamps - t0) * (rate / nsamp), 0.0)
        u = seq + WRAP * np.floor((ahead - seq - WRAP / 4) / WRAP + 0.5).astype(np.int64)
        distance = np.abs(ahead - u)
        better = usable & (u * nsamp >= first) & (u * nsamp <= last) & (distance < best_distance)
        best[better] = u[better]
        best_distance[better] = distance[better]
    return best * nsamp, np.isfinite(best_distance)


def places_by_chain(sequence_no, anchors, nsamp):
    """The first sample index of every slot of a file without stamps, from
    its first slot: each slot follows the one before it by its number's
    distance forward, or lies up to CHAIN_LATE_WINDOW numbers back; at each
    anchor [slot, first_sample] of the metadata the chain starts afresh."""
    seq = np.asarray(sequence_no, np.int64)
    if len(seq) == 0:
        return np.zeros(0, np.int64)
    step = np.diff(seq) % WRAP
    step[WRAP - step <= CHAIN_LATE_WINDOW] -= WRAP
    datagrams = np.concatenate(([seq[0]], seq[0] + np.cumsum(step)))
    correction = np.zeros(len(seq), np.int64)
    shift = 0
    for slot, first_sample in anchors or []:
        if slot >= len(seq):
            break
        wanted = first_sample // nsamp - (datagrams[slot] + shift)
        correction[slot] += wanted
        shift += wanted
    return (datagrams + np.cumsum(correction)) * nsamp


def sample_times(first_samples, placed, segments, nsamp):
    """Seconds since 1970 of every sample row (nsamp per slot, in order):
    NaN where the slot is not placed or no segment holds the sample."""
    n = (np.asarray(first_samples, np.int64)[:, None] + np.arange(nsamp, dtype=np.int64)).ravel()
    times = np.full(n.shape, np.nan)
    if not segments or len(n) == 0:
        return times
    firsts, lasts, t0s, rates = _segment_table(segments)
    k = np.searchsorted(firsts, n, side="right") - 1
    inside = np.repeat(np.asarray(placed, bool), nsamp) & (k >= 0)
    k = np.maximum(k, 0)
    inside &= n <= lasts[k]
    times[inside] = t0s[k[inside]] + n[inside] / rates[k[inside]]
    return times


def fit_stamps(nsamp, sequence_no, stamps, what):
    """The sample clock fitted to datagrams in the order received, by the
    recorder's own implementation: (timing dict, first sample indices).
    `what` names the file for the error when the extension is missing."""
    try:
        from kivo import _kivo
    except ImportError as e:
        raise RuntimeError("%s: its metadata holds no \"timing\", and fitting its stamps needs the "
                           "extension kivo._kivo, which cannot be loaded (%s)" % (what, e)) from e
    timing, first_samples = _kivo.fit_sample_clock(
        nsamp, np.ascontiguousarray(sequence_no, np.uint16), np.ascontiguousarray(stamps, np.float64))
    timing["stamp_source"] = None  # the stamps do not say where they were taken
    return timing, first_samples
