"""A recording as an mne.io.RawArray (Recording.to_mne): the samples of the
slots that hold data (stale slots left out, as kivoexport leaves them), the
marked events as annotations, and each break in the data (missing
datagrams, a device restart) as a BAD_gap annotation over the two rows
around it, which MNE leaves out when it rejects by annotation."""

import numpy as np


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


def _kept_slots(rec):
    """Indices of the slots kept, their first samples, and whether each is placed."""
    timing, first_samples, placed = rec._places()  # noqa: SLF001 - the same package
    fresh = ~rec.stale
    return np.flatnonzero(fresh), first_samples[fresh], placed[fresh]


def _breaks(first_samples, nsamp):
    """The kept rows where the data do not run on from the slot before."""
    steps = np.diff(first_samples)
    return (np.flatnonzero(steps != nsamp) + 1) * nsamp


def _event_rows(rec, slots):
    """(kept row, event) of each event that falls on a kept row: its sample,
    or (in a stale slot) the next kept row; without a sample, by its stamp."""
    nsamp = rec.nsamp
    file_rows = (slots[:, None] * nsamp + np.arange(nsamp)).ravel()
    times = np.asarray(rec.times)[np.repeat(~rec.stale, nsamp)]
    first = rec.first_block * 1000 * nsamp
    out = []
    for event in rec.events:
        if event["sample"] is not None:
            row = int(np.searchsorted(file_rows, event["sample"] - first))
            if event["sample"] - first < 0 or event["sample"] - first >= len(rec.records) * nsamp:
                continue
        elif event["stamp"] is not None and np.isfinite(times).any():
            row = int(np.searchsorted(times, event["stamp"], side="right")) - 1
            if row < 0 or event["stamp"] > np.nanmax(times) + 1.0 / max(1.0, rec.timing["sample_rate"] or 1):
                continue
        else:
            continue
        if row < len(file_rows):
            out.append((row, event))
    return out


def to_mne(rec, sample_rate=None):
    mne = _import_mne()
    rate = _rate(rec, sample_rate)
    slots, first_samples, _ = _kept_slots(rec)
    data = rec.samples[np.repeat(~rec.stale, rec.nsamp)].T.astype(np.float64)
    info = mne.create_info(["ch%d" % (c + 1) for c in range(rec.nchans)], rate, "misc")
    raw = mne.io.RawArray(data, info, verbose="error")
    onsets, durations, descriptions = [], [], []
    for row in _breaks(first_samples, rec.nsamp):
        onsets.append((row - 1) / rate)
        durations.append(2 / rate)
        descriptions.append("BAD_gap")
    for row, event in _event_rows(rec, slots):
        onsets.append(row / rate)
        durations.append(0.0)
        text = event["text"]
        descriptions.append(str(event["value"]) if text is None else "%d/%s" % (event["value"], text))
    raw.set_annotations(mne.Annotations(onsets, durations, descriptions))
    return raw
