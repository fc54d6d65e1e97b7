"""The package kivo's reader returns exactly what kivosim sent, for velto's
raw and filtered files and kivorec's file: with and without the metadata file,
for a range of blocks, and for a file cut in the middle of a slot; it refuses
the metadata files that kivoinspect refuses.

usage: test_read_recording.py RECORDINGS_DIR PYTHON_DIR KIVOINSPECT
(PYTHON_DIR: the folder holding the package kivo)
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import warnings

import numpy as np

RECORDINGS, PYTHON_DIR, KIVOINSPECT = sys.argv[1], sys.argv[2], sys.argv[3]
sys.path.insert(0, PYTHON_DIR)
import kivo  # noqa: E402

with open(os.path.join(RECORDINGS, "manifest.json")) as f:
    MANIFEST = json.load(f)


def pattern(seq, nsamp, nchans):
    """kivo::pattern_sample for every time step of every slot, in time order."""
    s = np.repeat(seq.astype(np.uint32), nsamp)[:, None]
    t = np.tile(np.arange(nsamp, dtype=np.uint32), len(seq))[:, None]
    x = s * np.uint32(40503) + np.arange(nchans, dtype=np.uint32) * np.uint32(9973) + t * np.uint32(131)
    return (x ^ (x >> np.uint32(11))).astype(np.uint16)


def read_quietly(*args, **kwargs):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        rec = kivo.recording.read(*args, **kwargs)
    return rec, caught


class Readers(unittest.TestCase):
    def check_sent(self, rec, expected):
        self.assertEqual(rec["slots"], expected["slots"])
        self.assertEqual(list(np.flatnonzero(rec["stale"])), expected["stale"])
        fresh = ~rec["stale"]
        h = rec["header"][fresh].astype(np.int64)
        seq = rec["sequence_no"][fresh].astype(np.int64)
        index = h[:, 2] | h[:, 3] << 8 | h[:, 4] << 16 | h[:, 5] << 24
        self.assertTrue(np.all((h[:, 0] == ord("K")) & (h[:, 1] == ord("V")) & (h[:, 6] == rec["nchans"])))
        np.testing.assert_array_equal(index % 65536, seq)
        np.testing.assert_array_equal(h[:, 8] | h[:, 9] << 8, 65535 - seq)
        self.assertTrue(np.all(np.diff(index) > 0))
        samples = rec["samples"][np.repeat(fresh, rec["nsamp"])]
        np.testing.assert_array_equal(samples, pattern(seq, rec["nsamp"], rec["nchans"]))

    def test_velto_files(self):
        raw, caught = read_quietly(MANIFEST["velto"]["raw"])
        self.assertEqual(caught, [])  # closed mid-block: its metadata counts the partial block
        self.assertEqual(raw["kind"], "raw")
        self.check_sent(raw, MANIFEST["velto"])
        self.assertTrue(np.all(np.diff(raw["stamps"][~raw["stale"]]) > 0))
        filtered, _ = read_quietly(MANIFEST["velto"]["filtered"])
        for field in ("stamps", "sequence_no", "header", "stale"):
            np.testing.assert_array_equal(filtered[field], raw[field], field)
        # A few samples against the bytes where the layout puts them.
        with open(MANIFEST["velto"]["filtered"], "rb") as f:
            data = f.read()
        slot = 20 + 2 * raw["nsamp"] * raw["nchans"]
        for k, t, ch in ((0, 0, 0), (999, 249, 2), (1000, 7, 1), (3999, 100, 2), (4299, 249, 0)):
            at = k * slot + 20 + 2 * (t * raw["nchans"] + ch)
            self.assertEqual(filtered["samples"][k * raw["nsamp"] + t, ch], int.from_bytes(data[at:at + 2], "little"))

    def test_kivorec_file(self):
        rec, caught = read_quietly(MANIFEST["kivorec"]["file"])
        self.assertEqual(caught, [])  # its metadata says it stopped mid-block
        self.assertEqual((rec["kind"], rec["stamps"]), ("recorder", None))
        self.assertEqual(rec["metadata"]["ended"], "ctrl-c")
        self.check_sent(rec, MANIFEST["kivorec"])

    def test_without_metadata(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        for path, nchans, kind in ((MANIFEST["velto"]["raw"], 3, "raw"),
                                   (MANIFEST["velto"]["filtered"], 3, "filtered"),
                                   (MANIFEST["kivorec"]["file"], 16, "recorder")):
            bare = shutil.copy(path, folder)
            with self.assertRaises(ValueError):
                kivo.recording.read(bare)
            got, _ = read_quietly(bare, nchans)
            want, _ = read_quietly(path)
            self.assertEqual((got["kind"], got["metadata"]), (kind, None))
            for field in ("samples", "sequence_no", "header", "stale"):
                np.testing.assert_array_equal(got[field], want[field], field)

    def test_metadata_that_kivoinspect_refuses_is_refused(self):
        # Each bad metadata file beside a copy of its sample file; the word
        # that the reader's error must hold (the field, or what is wrong).
        def changed(path, **fields):
            with open(kivo.recording.metadata_path(path)) as f:
                meta = json.load(f)
            meta.update(fields)
            return json.dumps(meta)
        raw, filtered, recorder = MANIFEST["velto"]["raw"], MANIFEST["velto"]["filtered"], MANIFEST["kivorec"]["file"]
        cases = [
            (raw, "byte_order", changed(raw, byte_order="big-endian")),
            (raw, "sample_type", changed(raw, sample_type="int16")),
            (raw, "stamped", changed(raw, stamped=False)),
            (raw, "slot_size_bytes", changed(raw, slot_size_bytes=1522)),
            (raw, "slots_per_block", changed(raw, slots_per_block=500)),
            (raw, "sample_file", changed(raw, sample_file="2015-03-07_14-05-09_kivo_samples.dat")),
            (raw, "nsamp", changed(raw, nchans=4)),  # 125 samples per channel, not 250
            # 2 channels of 344 samples make kivorec's 1388-byte datagrams of 16 channels of 43.
            (recorder, "nsamp", changed(recorder, nchans=2, nsamp=344)),
            (filtered, "a_stored", changed(filtered, filter={"b": [1, 0, 0, 0, 0], "a": [1, 0, 0, 0, 0.1],
                                                             "b_stored": [1, 0, 0, 0, 0], "a_stored": [1, 0, 0, 0, 0.1]})),
            (raw, "JSON", "[" * 100000 + "]" * 100000),
            (raw, "JSON", "[]"),
            (raw, "JSON", "null"),
        ]
        for path, word, text in cases:
            folder = tempfile.mkdtemp()
            self.addCleanup(shutil.rmtree, folder)
            copy = shutil.copy(path, folder)
            with open(kivo.recording.metadata_path(copy), "w") as f:
                f.write(text)
            with self.subTest(word=word, text=text[:40]):
                with self.assertRaises(ValueError) as caught:
                    kivo.read_recording(copy)
                self.assertIn(kivo.recording.metadata_path(copy), str(caught.exception))
                self.assertIn(word, str(caught.exception))
                nchans = str(MANIFEST["kivorec" if path == recorder else "velto"]["nchans"])
                inspect = subprocess.run([KIVOINSPECT, "--channels", nchans, copy], capture_output=True, text=True)
                self.assertEqual(inspect.returncode, 1, inspect.stdout + inspect.stderr)
                self.assertIn("INCONSISTENT", inspect.stdout)

    def test_times_need_numpy_alone_but_a_refit_the_extension(self):
        path = MANIFEST["velto_timed"]["file"]
        rec = kivo.read_recording(path)
        self.assertEqual(rec.times.shape, (rec.slots * rec.nsamp,))
        self.assertTrue(np.all(np.diff(rec.times) > 0))
        self.assertEqual(rec.timing["segments"], rec.metadata["timing"]["segments"])
        refit = kivo.read_recording(MANIFEST["velto_refit"]["file"])
        np.testing.assert_array_equal(refit.samples, rec.samples)
        with self.assertRaisesRegex(RuntimeError, "holds no \"timing\".*kivo._kivo"):
            refit.times

    def test_command_line_summary_names_the_fit_and_the_events(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        path = MANIFEST["velto_timed"]["file"]
        copy = shutil.copy(path, folder)
        shutil.copy(path[:-len(".dat")] + ".json", folder)
        with open(kivo.events.events_path(copy), "w") as f:
            f.write("onset\tduration\tsample\tvalue\tstamp\ttext\n0.5\tn/a\t100\t7\t1.5\tgo\nn/a\tn/a\tn/a\t8\t1.0\tn/a\n")
        env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
        out = subprocess.run([sys.executable, "-m", "kivo", copy], capture_output=True, text=True, env=env)
        self.assertEqual(out.returncode, 0, out.stderr)
        timing = kivo.read_recording(copy).timing
        self.assertIn("  timing      %.4f samples/s per channel" % timing["sample_rate"], out.stdout)
        self.assertIn("  events      2 in " + kivo.events.events_path(copy), out.stdout)

    def test_block_range_and_lazy_mapping(self):
        path = MANIFEST["velto"]["raw"]
        whole, _ = read_quietly(path)
        part = kivo.read_recording(path, blocks=(2, 4))
        self.assertIsInstance(part.records, np.memmap)
        self.assertEqual((part.first_block, part.slots), (2, 2000))
        np.testing.assert_array_equal(part.stale, whole["stale"][2000:4000])  # block 0 not in the range
        np.testing.assert_array_equal(part.samples, whole["samples"][2000 * whole["nsamp"]:4000 * whole["nsamp"]])
        self.assertEqual(kivo.read_recording(path, blocks=(3, 9)).slots, 1300)  # with the partial block

    def test_cut_in_the_middle_of_a_slot(self):
        path = MANIFEST["velto"]["raw"]
        whole, _ = read_quietly(path)
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        shutil.copy(kivo.recording.metadata_path(path), folder)
        cut = os.path.join(folder, os.path.basename(path))
        slot = 20 + 2 * whole["nsamp"] * whole["nchans"]
        with open(path, "rb") as src, open(cut, "wb") as dst:
            dst.write(src.read(2300 * slot + slot // 2))
        rec, caught = read_quietly(cut)
        self.assertEqual(len(caught), 1)
        self.assertIn("incomplete block", str(caught[0].message))
        self.assertEqual(rec["slots"], 2300)
        np.testing.assert_array_equal(rec["samples"], whole["samples"][:2300 * whole["nsamp"]])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
