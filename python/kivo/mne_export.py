"""A recording as an mne.io.RawArray (Recording.to_mne): the samples of the
slots that hold data (stale slots left out, and a filtered file's offset
taken off, as kivoexport does), the
marked events as annotations, and each break in the data (missing
datagrams, a device restart) as a BAD_gap annotation over the two rows
around it, which MNE leaves out when it rejects by annotation."""

import numpy as np

from kivo import sample_times

FILTERED_OFFSET = 32767  # a filtered file holds the filter's output plus this


def _import_mne():
    try:
        import mne  # noqa: PLC0415 - optional, and slow to import
    except ImportError:
        raise ImportError("to_mne() needs MNE-Python, which is not installed (pip install mne; "
                          "Debian: apt install python3-mne)") from None
    return mne


def _rate(rec, sample_rate):
    if sample_rate is not None:
        rate = float(sample_rate)
        if not rate > 0 or not np.isfinite(rate):
            raise ValueError("sample_rate must be a positive number of samples per second")
        return rate
    timing = rec.timing
    rate = timing.get("sample_rate") if timing else None
    if rate is None or not rate > 0:
        raise ValueError("%s has no fitted sample rate: give sample_rate (samples per second)" % rec.path)
    return float(rate)


def _breaks(rec):
    """The rows kept where the data do not run on from the slot before: by
    the places on the fitted clock, or, in a file without them (kivorec's
    without a fit), by the sequence numbers."""
    _, first_samples, placed = rec._places()  # noqa: SLF001 - the same package
    fresh = ~rec.stale
    if placed[fresh].all():
        breaks = np.flatnonzero(np.diff(first_samples[fresh]) != rec.nsamp) + 1
    else:
        breaks = sample_times.sequence_breaks(rec.sequence_no[fresh])
    return breaks * rec.nsamp


def _event_rows(rec, slots, rate):
    """(kept row, event) of each event that falls on a kept row, as
    kivoexport places them: by its sample (one in a stale slot on the next
    kept row), or without one by its stamp on the rows' times."""
    nsamp = rec.nsamp
    file_rows = (slots[:, None] * nsamp + np.arange(nsamp)).ravel()
    times = np.asarray(rec.times)[np.repeat(~rec.stale, nsamp)]
    by_stamp = len(times) > 0 and np.isfinite(times).all()
    first = rec.first_block * 1000 * nsamp  # the file row of the first row read
    out = []
    for event in rec.events:
        if event["sample"] is not None:
            row = int(np.searchsorted(file_rows, event["sample"] - first))
            inside = first <= event["sample"] < first + len(rec.records) * nsamp
        elif event["stamp"] is not None and by_stamp:
            row = int(np.searchsorted(times, event["stamp"], side="right")) - 1
            inside = row >= 0 and event["stamp"] < times[-1] + 1.0 / rate
        else:
            continue
        if inside and row < len(file_rows):
            out.append((row, event))
    return out


def to_mne(rec, sample_rate=None):
    mne = _import_mne()
    rate = _rate(rec, sample_rate)
    slots = np.flatnonzero(~rec.stale)
    data = rec.samples[np.repeat(~rec.stale, rec.nsamp)].T.astype(np.float64)
    if rec.kind == "filtered":
        data -= FILTERED_OFFSET
    info = mne.create_info(["ch%d" % (c + 1) for c in range(rec.nchans)], rate, "misc")
    raw = mne.io.RawArray(data, info, verbose="error")
    onsets, durations, descriptions = [], [], []
    for row in _breaks(rec):
        onsets.append((row - 1) / rate)
        durations.append(2 / rate)
        descriptions.append("BAD_gap")
    for row, event in _event_rows(rec, slots, rate):
        onsets.append(row / rate)
        durations.append(0.0)
        text = event["text"]
        descriptions.append(str(event["value"]) if text is None else "%d/%s" % (event["value"], text))
    raw.set_annotations(mne.Annotations(onsets, durations, descriptions))
    return raw
