"""Every sample's time, end to end: the times the package's reader gives the
samples of velto's, the Python package's and kivorec's timed recordings
against kivosim's send log; kivoinspect's count of what kivorec's stop lost;
and a file whose metadata holds no fit, refitted by the recorders' own clock.

usage: test_sample_times.py RECORDINGS_DIR BUILT_PYTHON_DIR KIVOINSPECT
"""

import json
import os
import subprocess
import sys
import unittest

import numpy as np

RECORDINGS, PYTHON_DIR, KIVOINSPECT = sys.argv[1:4]
sys.path.insert(0, PYTHON_DIR)
import kivo  # noqa: E402
from kivo import _kivo, sample_times  # noqa: E402

with open(os.path.join(RECORDINGS, "manifest.json")) as f:
    MANIFEST = json.load(f)

TIME_TOLERANCE = 25e-6  # after the constant latency between sending and stamping
RATE_TOLERANCE = 1e-6


def running_index(rec):
    """kivosim's count of every datagram it sent, from each slot's header."""
    h = rec.header.astype(np.int64)
    return h[:, 2] | h[:, 3] << 8 | h[:, 4] << 16 | h[:, 5] << 24


def true_times(rec, entry):
    """The time kivosim's schedule gave every sample row: its datagram's due
    time, and the sample rate on from it."""
    log = np.loadtxt(entry["log"])
    index = running_index(rec)
    np.testing.assert_array_equal(log[index, 0], rec.sequence_no)  # one line per datagram sent
    step = 1.0 / (entry["rate"] * rec.nsamp)
    return (log[index, 1][:, None] + np.arange(rec.nsamp) * step).ravel()


def inspect(path):
    result = subprocess.run([KIVOINSPECT, "--json", path], capture_output=True, text=True, timeout=120)
    return json.loads(result.stdout)


class SampleTimes(unittest.TestCase):
    def check_times(self, rec, entry, label):
        fresh = np.repeat(~rec.stale, rec.nsamp)
        times = rec.times
        self.assertFalse(np.isnan(times[fresh]).any(), label)
        error = times[fresh] - true_times(rec, entry)[fresh]
        latency = np.median(error)
        self.assertLess(np.max(np.abs(error - latency)), TIME_TOLERANCE, label)
        # Within a part per million, or within three times the uncertainty the
        # fit states when a loaded machine made the sender's timing worse.
        tolerance = max(RATE_TOLERANCE, 3e-6 * rec.timing["sample_rate_uncertainty_ppm"])
        self.assertLess(abs(rec.timing["sample_rate"] / (entry["rate"] * rec.nsamp) - 1), tolerance, label)

    def test_every_sample_at_its_true_time(self):
        for name in ("velto_timed", "python_timed", "kivorec_timed"):
            rec = kivo.read_recording(MANIFEST[name]["file"])
            self.check_times(rec, MANIFEST[name], name)
            self.assertEqual(rec.timing["stamp_source"], "kernel", name)

    def test_kivoinspect_counts_what_the_stopped_recorder_lost(self):
        entry = MANIFEST["kivorec_timed"]
        index = running_index(kivo.read_recording(entry["file"]))
        lost = int(index[-1] - index[0] + 1 - len(np.unique(index)))
        self.assertGreater(lost, 65536)
        report = inspect(entry["file"])
        gaps = report["sequence_gaps"]
        self.assertEqual((gaps["missing"], gaps["late"], gaps["repeated"]), (lost, 0, 0))
        self.assertEqual(report["timing"]["fitted_from"], "metadata")
        velto = inspect(MANIFEST["velto_timed"]["file"])
        self.assertTrue(velto["consistent"], velto["problems"])  # its metadata's fit agrees with its stamps
        self.assertEqual(velto["timing"]["fitted_from"], "stamps")

    def test_a_file_without_a_fit_is_refitted_by_the_recorders_clock(self):
        entry = MANIFEST["velto_refit"]
        rec = kivo.read_recording(entry["file"])
        self.check_times(rec, entry, "refitted")
        self.assertIsNone(rec.timing["stamp_source"])
        inspected = inspect(entry["file"])["timing"]
        for key in ("sample_rate", "sample_rate_uncertainty_ppm", "jitter_median_seconds", "segments"):
            self.assertEqual(rec.timing[key], inspected[key], key)
        # The numpy placement from the metadata's fit is the clock's own.
        stated = kivo.read_recording(MANIFEST["velto_timed"]["file"]).timing
        fitted, first_samples = _kivo.fit_sample_clock(rec.nsamp, rec.sequence_no, rec.stamps)
        placed, _ = sample_times.places_from_stamps(rec.sequence_no, rec.stamps, stated["segments"], rec.nsamp)
        np.testing.assert_array_equal(placed, first_samples)
        self.assertEqual(fitted["segments"], stated["segments"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
