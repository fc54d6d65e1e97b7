"""Reads the Kivo recorder's sample files: the velto plug-in's raw and
filtered files and kivorec's file.

A sample file is a plain run of slots, 1000 to a block. A slot of the
plug-in's files is an 8-byte receive time (float64, seconds since 1970 UTC)
followed by the datagram; a slot of kivorec's file is the bare datagram. A
datagram is 10 header bytes, the 16-bit sequence number, then nsamp time
steps of nchans unsigned 16-bit samples. Everything is little-endian.

The .json file beside a sample file says how to read it (its channel count,
samples per channel and kind). Without one, give the channel count: the
samples per channel follow from it as the device sends them (and, if the guess
from the name and first slot is not right, give the kind).

    rec = kivo.read_recording("2015-03-07_14-05-09_kivo_samples.dat")
    rec.samples[:, 3]        # channel 3, every time step, in time order
    rec.times                # the time of every row, seconds since 1970
    rec.stamps, rec.sequence_no, rec.header, rec.stale, rec.timing
    rec.events               # the marks made while recording (a list of dicts)
    rec.to_mne()             # an mne.io.RawArray, with the marks and gaps annotated

read_recording (open_recording is the same) maps the file (numpy.memmap), so
it returns at once however large the file is; the fields are read from the
disk when they are used. read() returns the same fields as plain arrays in
memory.

From the shell: python3 -m kivo FILE [--channels N] [--kind K] prints a summary.
"""

import argparse
import json
import os
import re
import sys
import warnings

import numpy as np

from kivo import events as events_module
from kivo import mne_export, sample_times

SLOTS_PER_BLOCK = 1000
HEADER_BYTES = 10          # bytes before the sequence number
STAMP_BYTES = 8
# Samples per channel of the device's datagrams, by floor(log2(nchans)): for
# files without metadata (the metadata states nsamp).
NSAMPLES_PER_CHAN_LUT = (500, 250, 125, 86, 43)
KINDS = ("raw", "filtered", "recorder")
# A first slot whose first 8 bytes read as a time between 1973 and 2286
# (or as 0) is taken for a stamp when there is no metadata.
EARLIEST_STAMP, LATEST_STAMP = 1e8, 1e10
# Blocks read before a requested range so that its stale slots are known:
# a stale slot repeats the slot of the same place two blocks earlier.
STALE_CONTEXT_BLOCKS = 2

__all__ = ["Recording", "read_recording", "open_recording", "read", "geometry", "metadata_path"]


def _check_channels(nchans):
    if not 1 <= nchans <= 16:
        raise ValueError("nchans must be 1 to 16, not %r" % (nchans,))


def datagram_size(nchans, nsamp):
    """The bytes of one datagram: the header, the sequence number, the samples."""
    return nchans * nsamp * 2 + HEADER_BYTES + 2


def geometry(nchans):
    """(nsamp, datagram_size_bytes) of a channel count from 1 to 16, as the
    device sends them."""
    _check_channels(nchans)
    nsamp = NSAMPLES_PER_CHAN_LUT[int(nchans).bit_length() - 1]
    return nsamp, datagram_size(nchans, nsamp)


def _samples_per_channel(metadata, nchans):
    """nsamp as the metadata states it for the channel count read, else as
    the device sends it."""
    _check_channels(nchans)
    nsamp = (metadata or {}).get("nsamp")
    if nsamp is None or metadata.get("nchans") != nchans:
        return geometry(nchans)[0]
    if not isinstance(nsamp, int) or nsamp < 1:
        raise ValueError("the metadata's nsamp must be a whole number from 1, not %r" % (nsamp,))
    return nsamp


def metadata_path(sample_path):
    """The metadata file beside a sample file: .dat replaced by .json."""
    root, ext = os.path.splitext(sample_path)
    return root + ".json" if ext == ".dat" else sample_path + ".json"


def slot_dtype(kind, nchans, nsamp):
    """The numpy structured type of one slot."""
    fields = [("stamp", "<f8")] if kind != "recorder" else []
    fields += [("header", "u1", (HEADER_BYTES,)), ("sequence_no", "<u2"),
               ("samples", "<u2", (nsamp, nchans))]
    return np.dtype(fields)


# ---- The metadata file, checked as kivoinspect checks it: the same fields,
# in the same order, the first that is missing or wrong named.

METADATA_FORMAT = "kivo-samples-metadata"
ENDINGS = ("running", "closed", "unloaded", "ctrl-c", "signal", "write error", "receive error",
           "socket error")
# The counts a recording keeps; False: files written before the count existed lack it.
TOTALS = (("blocks_written", True), ("slots_written", True), ("datagrams_received", True),
          ("failed_receives", True), ("sequence_gaps", True), ("writer_stalls", True),
          ("blocks_lost", True), ("write_errors", True), ("kernel_drops", True),
          ("wrong_size_datagrams", False), ("datagrams_not_saved", False), ("filtered_clipped_samples", False))
INT32, INT64, UINT32, UINT64 = (-2**31, 2**31 - 1), (-2**63, 2**63 - 1), (0, 2**32 - 1), (0, 2**64 - 1)
# "%4d-%2d-%2dT%2d:%2d:%2d" as C's sscanf reads it: the zone that follows is not needed.
_TIME = re.compile(r"\s*(?:[+-]\d{1,3}|\d{1,4})-" + r"-".join([r"\s*(?:[+-]\d|\d{1,2})"] * 2) + "T"
                   + r":".join([r"\s*(?:[+-]\d|\d{1,2})"] * 3))


class _Refused(Exception):
    """What is wrong with a metadata file, before the file's name is added."""


def _field(meta, name):
    if not isinstance(meta, dict) or name not in meta:
        raise _Refused('missing field "%s"' % name)
    return meta[name]


def _whole(meta, name, bounds):
    value = _field(meta, name)
    if isinstance(value, bool) or not isinstance(value, int) or not bounds[0] <= value <= bounds[1]:
        raise _Refused('field "%s" is not a whole number in range' % name)
    return value


def _typed(meta, name, kind):
    value = _field(meta, name)
    if not isinstance(value, kind):
        raise _Refused('field "%s" has the wrong type' % name)
    return value


def _text(meta, name):
    return _typed(meta, name, str)


def _layout(kind, nchans):
    """The layout fields as the channel count and kind make them, in order."""
    nsamp, datagram = geometry(nchans)
    stamped = kind != "recorder"
    slot = datagram + STAMP_BYTES * stamped
    return (("nsamp", nsamp, INT32), ("datagram_size_bytes", datagram, INT32),
            ("slot_size_bytes", slot, INT32), ("slots_per_block", SLOTS_PER_BLOCK, INT32),
            ("block_size_bytes", slot * SLOTS_PER_BLOCK, INT64), ("stamped", stamped, bool),
            ("byte_order", "little-endian", str), ("sample_type", "uint16", str))


def _five_numbers(meta, name):
    values = _field(meta, name)
    if not isinstance(values, list) or not all(isinstance(v, (int, float)) for v in values):
        raise _Refused('field "%s" has the wrong type' % name)
    if len(values) != 5:
        raise _Refused('filter field "%s" needs 5 numbers' % name)
    return [float(v) for v in values]


def _check_filter(f):
    b, a = _five_numbers(f, "b"), _five_numbers(f, "a")
    stored = _five_numbers(f, "b_stored") + _five_numbers(f, "a_stored")
    if [float(np.float32(v)) for v in b + a] != stored:
        raise _Refused('filter field "b_stored" or "a_stored": the coefficients as stored are not '
                       "those given, in single precision")


def _check_metadata(meta, sample_name):
    if not isinstance(meta, dict):
        raise _Refused("not a JSON object")
    if _text(meta, "format") != METADATA_FORMAT:
        raise _Refused('field "format": not a Kivo metadata file')
    if _whole(meta, "format_version", INT32) < 1:
        raise _Refused('field "format_version": unknown format version')
    kind = _text(meta, "kind")
    if kind not in KINDS:
        raise _Refused('field "kind": unknown kind "%s"' % kind)
    nchans = _whole(meta, "nchans", UINT32)
    if not 1 <= nchans <= 16:
        raise _Refused('field "nchans" must be 1 to 16')
    for name, wanted, bounds in _layout(kind, nchans):
        value = _typed(meta, name, bounds) if isinstance(bounds, type) else _whole(meta, name, bounds)
        if value != wanted:
            raise _Refused('field "%s" does not fit the channel count' % name)
    if _text(meta, "sample_file") != sample_name:
        raise _Refused('field "sample_file" names %s, not this file' % meta["sample_file"])
    _text(meta, "companion_file")
    _whole(meta, "port", INT32)
    for name in ("start_time_local", "start_time_utc"):
        if not _TIME.match(_text(meta, name)):
            raise _Refused('field "%s" is not an ISO 8601 time' % name)
    _text(meta, "host")
    _text(meta, "software_version")
    if kind == "filtered":
        _check_filter(_field(meta, "filter"))
    for name, in_every_file in TOTALS:
        if in_every_file or name in meta:
            _whole(meta, name, UINT64)
    if _text(meta, "ended") not in ENDINGS:
        raise _Refused('field "ended": unknown ending "%s"' % meta["ended"])


def _refuse_constant(name):
    raise _Refused("not valid JSON: %s" % name)


def _load_metadata(path):
    """The metadata file of `path` as a dict, checked; None when there is none.
    A file that cannot be used raises ValueError naming it and the field."""
    name = metadata_path(path)
    try:
        with open(name, "rb") as f:
            text = f.read()
    except FileNotFoundError:
        return None
    try:
        try:
            meta = json.loads(text.decode("utf-8-sig"), parse_constant=_refuse_constant)
        except (UnicodeDecodeError, json.JSONDecodeError, RecursionError) as e:
            raise _Refused("not valid JSON: %s" % (e,)) from None
        _check_metadata(meta, os.path.basename(path))
    except _Refused as e:
        raise ValueError("the metadata file %s cannot be used: %s" % (name, e)) from None
    return meta


def _guess_kind(path, nchans):
    if path.endswith("_kivo_filtered_samples.dat"):
        return "filtered"
    _, datagram = geometry(nchans)
    with open(path, "rb") as f:
        first = f.read(datagram + STAMP_BYTES)
    if len(first) < datagram + STAMP_BYTES:
        return "raw"
    stamp = np.frombuffer(first[:STAMP_BYTES], "<f8")[0]
    return "raw" if stamp == 0 or EARLIEST_STAMP <= stamp <= LATEST_STAMP else "recorder"


class Recording:
    """A sample file, or a range of its blocks, mapped into memory.

    Fields (one entry per slot unless said otherwise):
      stamps       float64 receive times, or None for kivorec's files
      sequence_no  uint16
      header       uint8, shape (slots, 10)
      samples      uint16, shape (slots * nsamp, nchans): one column per
                   channel, the nsamp time steps of each slot one after another
      stale        bool: the slot repeats an earlier datagram (its stamp and
                   bytes equal an earlier slot's; in a filtered file its stamp,
                   header and sequence number), or was never written (stamp 0,
                   zero bytes)
      times        float64, one per row of samples: its time in seconds since
                   1970 on the device's clock fitted to the receive stamps;
                   NaN in stale slots (and everywhere in a kivorec file whose
                   metadata holds no fit, as it has no stamps)
      timing       the fit (a dict: sample_rate, sample_rate_uncertainty_ppm,
                   segments, the jitter figures above the line, stamp_source,
                   ...): the metadata's "timing", else fitted to the stamps read
                   (stamp_source then None), which needs the extension kivo._kivo;
                   None for a kivorec file without it
    events       the rows of the events file beside it (<base>_kivo_events.tsv):
                 a list of dicts with onset, duration, sample (the row of
                 the whole file's samples), value, stamp and text, None for
                 n/a; [] without the file
    and kind, nchans, nsamp, metadata (the decoded .json, or None),
    first_block (0-based), slots, whole_blocks, partial_slots, trailing_bytes.
    """

    def __init__(self, path, nchans=None, kind=None, blocks=None):
        self.path = path
        if not os.path.isfile(path):
            raise FileNotFoundError("%s: no such file; check its folder and name (a recording is "
                                    "named like 2015-03-07_14-05-09_kivo_samples.dat)" % (path,))
        self.metadata = _load_metadata(path)
        if nchans is None:
            if self.metadata is None:
                raise ValueError("%s has no metadata file (%s): give its channel count "
                                 "(nchans=N; on the command line --channels N)" % (path, metadata_path(path)))
            nchans = int(self.metadata["nchans"])
        if kind is None:
            kind = self.metadata["kind"] if self.metadata else _guess_kind(path, nchans)
        if kind not in KINDS:
            raise ValueError("kind must be one of %s" % (KINDS,))
        self.kind, self.nchans = kind, int(nchans)
        self.nsamp = _samples_per_channel(self.metadata, self.nchans)
        self.datagram_size_bytes = datagram_size(self.nchans, self.nsamp)
        self.dtype = slot_dtype(kind, self.nchans, self.nsamp)
        self.slot_size_bytes = self.dtype.itemsize
        size = os.path.getsize(path)
        file_slots = size // self.slot_size_bytes
        self.trailing_bytes = size % self.slot_size_bytes
        self.whole_blocks, self.partial_slots = divmod(file_slots, SLOTS_PER_BLOCK)
        self._warn_if_cut(file_slots)
        first, stop = self._slot_range(file_slots, blocks)
        self.first_block = first // SLOTS_PER_BLOCK
        context = min(first, STALE_CONTEXT_BLOCKS * SLOTS_PER_BLOCK)
        self._all = self._map(first - context, stop)
        self._context = context
        self.records = self._all[context:]
        self.slots = len(self.records)
        self._stale = None
        self._clock = None
        self._events = None

    def _warn_if_cut(self, file_slots):
        if self.trailing_bytes == 0 and file_slots % SLOTS_PER_BLOCK == 0:
            return
        m = self.metadata
        if (m and m.get("ended") != "running" and self.trailing_bytes == 0
                and m.get("slots_written") == file_slots):
            return  # velto's close and kivorec's stop write the block in progress
        warnings.warn("%s ends with an incomplete block: read up to its last whole slot (%d)"
                      % (self.path, file_slots), stacklevel=3)

    @staticmethod
    def _slot_range(file_slots, blocks):
        if blocks is None:
            return 0, file_slots
        start, stop = blocks
        if start < 0 or stop < start:
            raise ValueError("blocks must be (start, stop) with 0 <= start <= stop")
        return (min(start * SLOTS_PER_BLOCK, file_slots),
                min(stop * SLOTS_PER_BLOCK, file_slots))

    def _map(self, first, stop):
        if stop <= first:
            return np.zeros(0, self.dtype)
        return np.memmap(self.path, self.dtype, mode="r", shape=(stop - first,),
                         offset=first * self.slot_size_bytes)

    @property
    def stamps(self):
        return None if self.kind == "recorder" else self.records["stamp"]

    @property
    def sequence_no(self):
        return self.records["sequence_no"]

    @property
    def header(self):
        return self.records["header"]

    @property
    def samples(self):
        return self.records["samples"].reshape(-1, self.nchans)

    @property
    def stale(self):
        if self._stale is None:
            self._stale = _stale_flags(self._all, self.kind)[self._context:]
        return self._stale

    @property
    def times(self):
        return self._fitted_clock()[1]

    @property
    def timing(self):
        return self._fitted_clock()[0]

    def _fitted_clock(self):
        """(timing, times), worked out once."""
        if self._clock is None:
            timing, first_samples, placed = self._places()
            segments = timing["segments"] if timing else []
            self._clock = timing, sample_times.sample_times(first_samples, placed & ~self.stale, segments,
                                                            self.nsamp)
        return self._clock

    def _places(self):
        """(timing, first sample index of every slot read, whether it is placed)."""
        timing = (self.metadata or {}).get("timing")
        fresh = ~self.stale
        first_samples = np.zeros(self.slots, np.int64)
        if self.kind == "recorder":
            if timing is None:
                return None, first_samples, np.zeros(self.slots, bool)
            first = self.first_block * SLOTS_PER_BLOCK
            numbers = self._sequence_numbers_from_start(first + self.slots)
            anchors = self.metadata.get("slot_anchors", [])
            return timing, sample_times.places_by_chain(numbers, anchors, self.nsamp)[first:], fresh
        stamps, numbers = self.stamps[fresh], self.sequence_no[fresh]
        if timing is None:
            timing, first_samples[fresh] = sample_times.fit_stamps(self.nsamp, numbers, stamps, self.path)
            return timing, first_samples, fresh
        placed = np.zeros(self.slots, bool)
        first_samples[fresh], placed[fresh] = sample_times.places_from_stamps(numbers, stamps, timing["segments"],
                                                                               self.nsamp)
        return timing, first_samples, placed

    def _sequence_numbers_from_start(self, stop):
        """The sequence numbers of slots 0 to stop - 1 of the file: kivorec's
        files are placed by a chain from their first slot."""
        if stop <= 0:
            return np.zeros(0, np.uint16)
        return np.memmap(self.path, self.dtype, mode="r", shape=(stop,))["sequence_no"]

    @property
    def events(self):
        if self._events is None:
            self._events = events_module.read_events(events_module.events_path(self.path))
        return self._events

    def to_mne(self, sample_rate=None):
        """The recording as an mne.io.RawArray (needs MNE-Python): the
        samples of the slots that hold data (a filtered file's without its
        offset of 32767) as "misc" channels ch1..chN at the fitted rate (or
        `sample_rate`, which kivorec's files without a fit need), the events
        as annotations ("value" or "value/text")
        at their rows, and each break in the data (missing datagrams, a
        device restart) as a BAD_gap annotation over the two rows around it."""
        return mne_export.to_mne(self, sample_rate)

    def __len__(self):
        return self.slots


def _stale_flags(records, kind):
    """One flag per slot: see Recording.stale."""
    n = len(records)
    stale = np.zeros(n, bool)
    if n == 0:
        return stale
    width = records.dtype.itemsize
    if kind == "filtered":
        width = STAMP_BYTES + HEADER_BYTES + 2
    rows = records.view(np.uint8).reshape(n, records.dtype.itemsize)[:, :width]
    if kind == "recorder":
        keys = records["sequence_no"].astype(np.uint64)
    else:
        keys = records["stamp"].view(np.uint64)
        zero = np.flatnonzero(keys == 0)
        stale[zero] = ~rows[zero].any(axis=1)
        live = np.flatnonzero(~stale)
        if np.all(np.diff(records["stamp"][live]) > 0):
            return stale
    live = np.flatnonzero(~stale)
    _, inverse, counts = np.unique(keys[live], return_inverse=True, return_counts=True)
    candidates = live[counts[inverse] > 1]
    if len(candidates) == 0:
        return stale
    regions = np.ascontiguousarray(rows[candidates]).view(np.dtype((np.void, width))).ravel()
    _, first = np.unique(regions, return_index=True)
    stale[candidates] = True
    stale[candidates[first]] = False
    return stale


def open_recording(path, nchans=None, kind=None, blocks=None):
    """The file (or blocks start..stop-1 of it, 0-based) mapped into memory."""
    return Recording(path, nchans, kind, blocks)


def read_recording(path, nchans=None, blocks=None, *, kind=None):
    """A sample file (or blocks start..stop-1 of it, 0-based) mapped into
    memory, as a Recording; nchans and kind are needed only for a file
    without its .json metadata file."""
    return Recording(path, nchans, kind, blocks)


def read(path, nchans=None, kind=None, blocks=None):
    """The same fields as open_recording, read into memory, as a dict."""
    rec = Recording(path, nchans, kind, blocks)
    return {
        "file": path, "kind": rec.kind, "nchans": rec.nchans, "nsamp": rec.nsamp,
        "metadata": rec.metadata, "first_block": rec.first_block, "slots": rec.slots,
        "stamps": None if rec.stamps is None else np.array(rec.stamps),
        "sequence_no": np.array(rec.sequence_no), "header": np.array(rec.header),
        "samples": np.array(rec.samples), "stale": rec.stale,
    }


def summary(rec):
    """A few lines about a recording, for the command line."""
    fresh = ~rec.stale
    seq = rec.sequence_no[fresh].astype(np.int64)
    gaps = len(sample_times.sequence_breaks(seq))
    lines = [
        rec.path,
        "  kind        %s, %d channels, %d samples per channel, %d-byte slots"
        % (rec.kind, rec.nchans, rec.nsamp, rec.slot_size_bytes),
        "  slots       %d: %d whole blocks, %d in a partial block, %d bytes left over"
        % (rec.slots, rec.whole_blocks, rec.partial_slots, rec.trailing_bytes),
        "  stale       %d slots repeat an earlier datagram" % (rec.slots - len(seq)),
    ]
    if len(seq):
        lines.append("  sequence    %d to %d, %d gaps" % (seq[0], seq[-1], gaps))
    if rec.stamps is not None and len(seq) > 1:
        stamps = rec.stamps[fresh]
        span = stamps[-1] - stamps[0]
        rate = (len(stamps) - 1) / span if span > 0 else float("nan")
        lines.append("  stamps      %.3f s, %.1f datagrams/s" % (span, rate))
    if rec.metadata:
        meta = rec.metadata
        lines.append("  metadata    ended %s, %d wrong-size datagrams, %d datagrams not saved"
                     % (meta.get("ended"), meta.get("wrong_size_datagrams", 0), meta.get("datagrams_not_saved", 0)))
        if meta.get("timing"):
            lines.append("  timing      " + _timing_text(meta["timing"]))
    if rec.events:
        lines.append("  events      %d in %s" % (len(rec.events), events_module.events_path(rec.path)))
    return "\n".join(lines)


def _timing_text(timing):
    """The metadata's fitted clock in one line, worded as kivoinspect words it."""
    rate, ppm = timing.get("sample_rate"), timing.get("sample_rate_uncertainty_ppm")
    text = "rate unknown" if rate is None else "%.4f samples/s per channel" % rate
    if ppm is not None:
        text += " (+-%.3f ppm)" % ppm
    segments = timing.get("segment_count", 0)
    return "%s; %d %s; %s stamps" % (text, segments, "segment" if segments == 1 else "segments",
                                     timing.get("stamp_source") or "unknown")


def _version():
    """The project's version, which the acquisition module carries."""
    try:
        from kivo._kivo import __version__
    except ImportError:
        return "(version unknown: the module kivo._kivo is not built)"
    return __version__


def main(argv=None, prog=None, name="kivo"):
    """The command line: prints the summary of FILE; `name` leads error lines."""
    parser = argparse.ArgumentParser(
        prog=prog, description="Summarises a Kivo sample file.",
        epilog="Exit status: 0 the summary was printed; 2 bad command line, or a file that cannot be "
               "read (missing, or without its .json and no --channels).")
    parser.add_argument("--version", action="version", version="kivo " + _version())
    parser.add_argument("file")
    parser.add_argument("--channels", type=int, help="channel count, when there is no .json file")
    parser.add_argument("--kind", choices=KINDS, help="raw, filtered or recorder (default: from the .json)")
    args = parser.parse_args(argv)
    try:
        rec = open_recording(args.file, args.channels, args.kind)
    except (OSError, ValueError) as e:
        print("%s: %s" % (name, e), file=sys.stderr)
        return 2
    print(summary(rec))
    return 0
