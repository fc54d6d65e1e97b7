"""The package kivo's reader returns exactly what kivosim sent, for velto's
raw and filtered files and kivorec's file: with and without the metadata file,
for a range of blocks, and for a file cut in the middle of a slot.

usage: test_read_recording.py RECORDINGS_DIR PYTHON_DIR (the folder holding the package kivo)
"""

import json
import os
import shutil
import sys
import tempfile
import unittest
import warnings

import numpy as np

RECORDINGS, PYTHON_DIR = sys.argv[1], sys.argv[2]
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

    def test_samples_per_channel_from_the_metadata(self):
        # 2 channels of 344 samples make the same 1388-byte datagrams as 16 of 43;
        # the device's table would say 250 for 2 channels.
        path = MANIFEST["kivorec"]["file"]
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        copy = shutil.copy(path, folder)
        with open(kivo.recording.metadata_path(path)) as f:
            meta = json.load(f)
        meta.update(nchans=2, nsamp=344)
        with open(kivo.recording.metadata_path(copy), "w") as f:
            json.dump(meta, f)
        got, _ = read_quietly(copy)
        want, _ = read_quietly(path)
        self.assertEqual((got["nchans"], got["nsamp"], got["slots"]), (2, 344, want["slots"]))
        np.testing.assert_array_equal(got["samples"].ravel(), want["samples"].ravel())
        np.testing.assert_array_equal(got["sequence_no"], want["sequence_no"])

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
