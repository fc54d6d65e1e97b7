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
    rec.stamps, rec.sequence_no, rec.header, rec.stale

read_recording (open_recording is the same) maps the file (numpy.memmap), so
it returns at once however large the file is; the fields are read from the
disk when they are used. read() returns the same fields as plain arrays in
memory.

From the shell: python3 -m kivo FILE [--channels N] [--kind K] prints a summary.
"""

import argparse
import json
import os
import sys
import warnings

import numpy as np

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


def _load_metadata(path):
    try:
        with open(metadata_path(path), encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return None


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

    def _warn_if_cut(self, file_slots):
        if self.trailing_bytes == 0 and file_slots % SLOTS_PER_BLOCK == 0:
            return
        m = self.metadata
        if (m and m.get("ended") != "running" and self.trailing_bytes == 0
                and m.get("slots_written") == file_slots):
            return  # kivorec wrote the block in progress when it was stopped
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
    gaps = int(np.count_nonzero((np.diff(seq) - 1) % 65536)) if len(seq) > 1 else 0
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
    return "\n".join(lines)


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
