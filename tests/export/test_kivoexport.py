"""kivoexport's BrainVision files read back by MNE-Python: the same samples
as the package kivo's reader (stale slots and missing datagrams left out),
the fitted rate, the events as stimulus markers at their rows, and every
break in the data as a new segment that MNE sees as bad. Recordings are
built here, and, when the readers' fixture made them, recorded by velto and
kivorec. Bad inputs and outputs end with a clear error and leave nothing.

Environment: KIVOEXPORT (the program), KIVO_PYTHON_DIR (the folder holding
the package kivo), KIVO_VERSION, and KIVO_RECORDINGS (the readers' fixture;
optional).
"""

import json
import os
import re
import resource
import signal
import subprocess
import sys

import numpy as np
import pytest

mne = pytest.importorskip("mne", reason="mne-python is not installed (Debian: python3-mne)")
sys.path.insert(0, os.environ["KIVO_PYTHON_DIR"])
import kivo  # noqa: E402

KIVOEXPORT = os.environ["KIVOEXPORT"]
NSAMP = {1: 500, 2: 250, 3: 250, 4: 125, 8: 86, 16: 43}
FILTER = {"b": [0.25, 0.0, -0.5, 0.0, 0.25], "a": [1.0, -1.5, 0.75, -0.25, 0.0625]}


# ---- recordings built here ----

def metadata(kind, nchans, sample_file, slots, timing=None):
    nsamp = NSAMP[nchans]
    datagram = nchans * nsamp * 2 + 12
    slot = datagram + (0 if kind == "recorder" else 8)
    meta = {
        "format": "kivo-samples-metadata", "format_version": 1, "kind": kind, "sample_file": sample_file,
        "companion_file": "", "nchans": nchans, "nsamp": nsamp, "datagram_size_bytes": datagram,
        "slot_size_bytes": slot, "slots_per_block": 1000, "block_size_bytes": slot * 1000,
        "stamped": kind != "recorder",
        "stamp_type": None if kind == "recorder" else "float64 seconds since 1970-01-01T00:00:00Z",
        "byte_order": "little-endian", "sample_type": "uint16", "port": 55000,
        "start_time_local": "2024-05-01T10:00:00+02:00", "start_time_utc": "2024-05-01T08:00:00Z",
        "host": "test", "writer": "kivorec" if kind == "recorder" else "velto", "software_version": "test",
    }
    if kind == "filtered":
        meta["filter"] = dict(FILTER, stored_precision="single", b_stored=FILTER["b"], a_stored=FILTER["a"])
    for key in ("blocks_written", "datagrams_received", "failed_receives", "sequence_gaps", "writer_stalls",
                "blocks_lost", "write_errors", "kernel_drops"):
        meta[key] = 0
    meta.update(slots_written=slots, blocks_written=slots // 1000, ended="closed")
    if timing is not None:
        meta["timing"] = timing
    return meta


class Built:
    """A recording made slot by slot: datagram numbers u (None for a stale
    slot), sequence numbers u mod 65536, stamps on a line of `rate`
    datagrams per second, random samples over the whole uint16 range."""

    def __init__(self, folder, kind, nchans, numbers, rate=1000.0, jitter=0.0, first_seq=0, timing=None,
                 name="2024-05-01_10-00-00"):
        self.kind, self.nchans, self.nsamp = kind, nchans, NSAMP[nchans]
        suffix = "_kivo_filtered_samples.dat" if kind == "filtered" else "_kivo_samples.dat"
        self.path = os.path.join(folder, name + suffix)
        self.t0 = 1714550400.0
        self.rate = rate * self.nsamp  # samples per second per channel
        rng = np.random.default_rng(len(numbers))
        records = np.zeros(len(numbers), kivo.recording.slot_dtype(kind, nchans, self.nsamp))
        for k, u in enumerate(numbers):
            if u is None:
                continue
            records[k]["sequence_no"] = (first_seq + u) % 65536
            records[k]["header"] = rng.integers(0, 256, 10)
            records[k]["samples"] = rng.integers(0, 65536, (self.nsamp, nchans))
            if kind != "recorder":
                records[k]["stamp"] = self.t0 + u / rate + rng.uniform(0, jitter)
        self.records = records
        self.numbers = numbers
        self.timing = timing
        self.save()

    def repeat(self, k, earlier):
        """Slot k holds what slot `earlier` held: a stale slot of the plug-in's."""
        self.records[k] = self.records[earlier]
        self.numbers[k] = None
        self.save()

    def save(self):
        self.records.tofile(self.path)
        with open(kivo.recording.metadata_path(self.path), "w") as f:
            json.dump(metadata(self.kind, self.nchans, os.path.basename(self.path), len(self.records),
                               self.timing), f)

    def fresh(self):
        return np.array([u is not None for u in self.numbers])

    def expected_breaks(self):
        """(row, samples missing) wherever the fresh slots' numbers do not run on."""
        us = [u for u in self.numbers if u is not None]
        return [(i * self.nsamp, (b - a - 1) * self.nsamp) for i, (a, b) in enumerate(zip(us, us[1:]), 1)
                if b != a + 1]


def write_events(sample_path, rows):
    base = re.sub(r"_kivo_(filtered_)?samples\.dat$", "", sample_path)
    with open(base + "_kivo_events.tsv", "w", encoding="utf-8") as f:
        f.write("onset\tduration\tsample\tvalue\tstamp\ttext\n")
        for sample, value, stamp, text in rows:
            f.write("0\tn/a\t%s\t%d\t%s\t%s\n" % (sample, value, stamp, text))


# ---- running and reading back ----

def export(path, *args, **kwargs):
    return subprocess.run([KIVOEXPORT, *args, path], capture_output=True, text=True, timeout=120, **kwargs)


def exported(path, *args):
    result = export(path, *args)
    assert result.returncode == 0, result.stderr
    folder = args[args.index("--out") + 1] if "--out" in args else os.path.dirname(path)
    stem = os.path.join(folder, os.path.splitext(os.path.basename(path))[0])
    raw = mne.io.read_raw_brainvision(stem + ".vhdr", preload=True, verbose="error")
    with open(stem + ".vhdr", encoding="utf-8") as f:
        comment = f.read().split("[Comment]")[1]
    return raw, comment


def annotations(raw, kind):
    """(row, rows, description) of each annotation of the marker type `kind`.
    MNE keeps onsets to the microsecond: rows are told apart at rates up to 1 MHz."""
    a, rate = raw.annotations, raw.info["sfreq"]
    return [(o, int(round(d * rate)), desc.split("/", 1)[1])
            for o, d, desc in zip(a.onset, a.duration, a.description) if desc.split("/", 1)[0] == kind]


def at(raw, *rows):
    """The onsets of `rows` as MNE keeps them."""
    return [round(row / raw.info["sfreq"], 6) for row in rows]


def check_samples(raw, path, offset=0, **read_args):
    rec = kivo.read_recording(path, **read_args)
    expected = rec.samples[np.repeat(~rec.stale, rec.nsamp)].astype(np.float64) - offset
    assert raw.ch_names == ["ch%d" % (c + 1) for c in range(rec.nchans)]
    assert raw.n_times == len(expected)
    np.testing.assert_allclose(raw.get_data(units="uV").T, expected, rtol=1e-12, atol=1e-9)


def check_breaks(raw, comment, breaks):
    rows = [row for row, _ in breaks]
    assert [onset for onset, _, _ in annotations(raw, "New Segment")] == at(raw, 0, *rows)
    bad = annotations(raw, "Bad Interval")
    assert [onset for onset, _, _ in bad] == at(raw, *(r - 1 for r in rows))
    assert all(size == 2 for _, size, _ in bad)
    # MNE takes them for bad: they are left out when it rejects by annotation.
    assert raw.get_data(reject_by_annotation="omit").shape[1] == raw.n_times - 2 * len(rows)
    for row, missing in breaks:
        assert "data point %d: %d samples missing before it" % (row + 1, missing) in comment


# ---- the tests ----

def test_raw_file_with_stale_slots_and_gaps(tmp_path):
    # Numbers wrap past 65535; datagrams 700-702 and 2600 never came; slots
    # 1990-1999 were never written and 2995-2999 repeat block 0's.
    numbers = [u for u in range(3004) if not 700 <= u <= 702 and u != 2600]
    rec = Built(str(tmp_path), "raw", 4, numbers, jitter=30e-6, first_seq=65000)
    for k in range(1990, 2000):
        rec.records[k] = 0
        rec.numbers[k] = None
    for k in range(2995, 3000):
        rec.repeat(k, k - 2000)
    rec.save()
    raw, comment = exported(rec.path)  # beside the file
    check_samples(raw, rec.path)
    assert raw.info["sfreq"] == pytest.approx(rec.rate, rel=1e-5)
    check_breaks(raw, comment, rec.expected_breaks())
    assert "Stale slots left out: 15 " in comment


def test_events_become_stimulus_markers_at_their_rows(tmp_path):
    numbers = list(range(1200))
    rec = Built(str(tmp_path), "raw", 2, numbers)
    for k in range(990, 1000):
        rec.records[k] = 0
        rec.numbers[k] = None
    rec.save()
    n = rec.nsamp
    stamp_of = lambda row: "%.6f" % (rec.t0 + (row + 0.5) / rec.rate)  # noqa: E731
    write_events(rec.path, [
        (5, 1, "n/a", "start Ω"),
        (300 * n + 17, 42, "n/a", "odd, with a comma"),
        (995 * n + 3, 7, "n/a", "in a stale slot"),        # moves to the next row kept
        ("n/a", 999, stamp_of(1100 * n + 9), "n/a"),       # placed by its stamp
        ("n/a", 3, "%.6f" % (rec.t0 - 5), "before the first datagram"),
        (1200 * n, 4, "n/a", "beyond the end"),
    ])
    raw, comment = exported(rec.path, "--out", str(tmp_path))
    kept = lambda file_row: file_row - (10 * n if file_row >= 1000 * n else 0)  # noqa: E731
    rows = [5, kept(300 * n + 17), kept(1000 * n), kept(1100 * n + 9)]
    assert annotations(raw, "Stimulus") == list(zip(at(raw, *rows), [1] * 4, ["S  1", "S 42", "S  7", "S999"]))
    assert [(onset, text) for onset, _, text in annotations(raw, "Comment")] == list(zip(
        at(raw, *rows[:3]), ["start Ω", "odd, with a comma", "in a stale slot"]))
    assert "1 has no sample and is placed by its stamp on the fitted clock" in comment
    assert "line 6 (value 3): it has no sample, and its stamp lies outside" in comment
    assert "line 7 (value 4): its sample %d lies beyond the file's %d rows" % (1200 * n, 1200 * n) in comment


def test_to_mne_agrees_with_the_export(tmp_path):
    numbers = [u for u in range(2100) if not 500 <= u <= 503]
    rate = 250000.0
    timing = {"sample_rate": rate, "sample_rate_uncertainty_ppm": 0.5, "jitter_median_seconds": 1e-5,
              "jitter_p99_seconds": 2e-5, "jitter_max_seconds": 3e-5, "datagrams": 2096, "segment_count": 1,
              "clock_steps": 0, "device_restarts": 0, "late_datagrams": 0, "stamp_source": "kernel",
              "segments": [{"first_sample": 0, "last_sample": 524999, "t0": 1714550400.0, "sample_rate": rate}]}
    rec = Built(str(tmp_path), "raw", 2, numbers, jitter=20e-6, timing=timing)
    for k in range(1990, 2000):
        rec.records[k] = 0
        rec.numbers[k] = None
    rec.save()
    n = rec.nsamp
    write_events(rec.path, [(17, 1, "n/a", "go"), (600 * n, 2, "n/a", "n/a"), (1995 * n, 3, "n/a", "stale"),
                            ("n/a", 4, "%.6f" % (rec.t0 + (2050 * n + 0.5) / rec.rate), "by stamp"),
                            (2096 * n, 5, "n/a", "beyond the end")])
    exported_raw, _ = exported(rec.path, "--out", str(tmp_path))
    read = kivo.read_recording(rec.path)
    raw = read.to_mne()
    np.testing.assert_array_equal(raw.get_data().T, read.samples[np.repeat(~read.stale, n)])
    assert raw.n_times == exported_raw.n_times
    assert raw.info["sfreq"] == exported_raw.info["sfreq"] == rate
    marks = [(round(o, 6), d) for o, d in zip(raw.annotations.onset, raw.annotations.description)]
    assert [o for o, d in marks if d == "BAD_gap"] == [o for o, _, _ in annotations(exported_raw, "Bad Interval")]
    stimuli = [o for o, _, _ in annotations(exported_raw, "Stimulus")]
    assert [m for m in marks if m[1] != "BAD_gap"] == list(zip(stimuli, ["1/go", "2", "3/stale", "4/by stamp"]))


def test_filtered_file_without_the_offset_at_the_recorded_rate(tmp_path):
    numbers = list(range(2000))
    rate = 250123.456789  # as the recorder fitted it, not the stamps' 250000
    timing = {"sample_rate": rate, "sample_rate_uncertainty_ppm": 0.5, "jitter_median_seconds": 1e-5,
              "jitter_p99_seconds": 2e-5, "jitter_max_seconds": 3e-5, "datagrams": 2000, "segment_count": 1,
              "clock_steps": 0, "device_restarts": 0, "late_datagrams": 0, "stamp_source": "kernel",
              "segments": [{"first_sample": 0, "last_sample": 499999, "t0": 1714550400.0, "sample_rate": rate}]}
    rec = Built(str(tmp_path), "filtered", 3, numbers, timing=timing)
    out = tmp_path / "out"
    out.mkdir()
    raw, comment = exported(rec.path, "--out", str(out))
    check_samples(raw, rec.path, offset=32767)
    assert raw.info["sfreq"] == pytest.approx(rate, rel=1e-12)
    assert "minus the offset of 32767" in comment


def recordings():
    folder = os.environ.get("KIVO_RECORDINGS")
    if not folder:
        pytest.skip("the readers' recordings (velto, Octave) are not made in this build")
    with open(os.path.join(folder, "manifest.json")) as f:
        return json.load(f)


@pytest.mark.parametrize("which", ["velto raw", "velto filtered", "kivorec"])
def test_recorded_files(tmp_path, which):
    manifest = recordings()
    path = manifest["kivorec"]["file"] if which == "kivorec" else manifest["velto"][which.split()[1]]
    rate = ["--sample-rate", "43000"] if which == "kivorec" else []  # kivorec's files have no stamps
    raw, comment = exported(path, "--out", str(tmp_path), *rate)
    check_samples(raw, path, offset=32767 if which == "velto filtered" else 0)
    rec = kivo.read_recording(path)
    seq = rec.sequence_no[~rec.stale].astype(np.int64)
    steps = (np.diff(seq) - 1) % 65536
    breaks = [((i + 1) * rec.nsamp, int(s) * rec.nsamp) for i, s in enumerate(steps) if s]
    check_breaks(raw, comment, breaks)
    if which == "kivorec":
        assert raw.info["sfreq"] == 43000
    else:
        assert raw.info["sfreq"] == pytest.approx(20000 * rec.nsamp, rel=0.05)  # kivosim's pace


def no_files_left(folder, before):
    assert sorted(os.listdir(folder)) == before


def limit_file_size():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (200000, 200000))


@pytest.mark.parametrize("case", ["missing file", "cut mid-slot", "lying metadata", "folder that is a file",
                                  "disk full"])
def test_bad_input_or_output_leaves_nothing(tmp_path, case):
    rec = Built(str(tmp_path), "raw", 4, list(range(349)))
    path, out, preexec = rec.path, tmp_path, None
    if case == "missing file":
        path = str(tmp_path / "absent_kivo_samples.dat")
    elif case == "cut mid-slot":
        os.truncate(path, os.path.getsize(path) - 100)
    elif case == "lying metadata":
        # 349 slots of 4 channels are 255 slots of 8: the sizes agree, the numbers do not.
        with open(kivo.recording.metadata_path(path), "w") as f:
            json.dump(metadata("raw", 8, os.path.basename(path), 255), f)
    elif case == "folder that is a file":
        out = tmp_path / "not_a_folder"
        out.write_text("")
    else:
        preexec = limit_file_size
    before = sorted(os.listdir(tmp_path))
    result = export(path, "--out", str(out), preexec_fn=preexec)
    expected = {"missing file": (1, "cannot read"), "cut mid-slot": (1, "bytes into a slot"),
                "lying metadata": (1, "do not run on in most slots"), "folder that is a file": (3, "cannot create"),
                "disk full": (3, "cannot write")}[case]
    assert (result.returncode, result.stdout) == (expected[0], "")
    assert result.stderr.startswith("kivoexport: ") and expected[1] in result.stderr, result.stderr
    no_files_left(tmp_path, before)


def test_command_line():
    help_text = subprocess.run([KIVOEXPORT, "--help"], capture_output=True, text=True)
    assert help_text.returncode == 0 and help_text.stdout.startswith("usage: kivoexport [--out DIR]")
    assert "Exit status: 0 exported; 1 " in help_text.stdout
    version = subprocess.run([KIVOEXPORT, "--version"], capture_output=True, text=True)
    assert (version.returncode, version.stdout) == (0, "kivoexport %s\n" % os.environ["KIVO_VERSION"])
    for args in (["a.dat", "b.dat"], ["--sample-rate", "0", "a.dat"], []):
        refused = subprocess.run([KIVOEXPORT, *args], capture_output=True, text=True)
        assert refused.returncode == 2, args
        assert "\nusage: kivoexport " in refused.stderr, args
