"""Acquisition.read_samples() against kivosim at 20,000 datagrams/s of 16
channels: every datagram handed over, row for row as the raw file holds it;
'close' in the middle of a block saving everything; a caller that sleeps past
the ring told exactly what it missed; and close() ending waits in other
threads."""

import os
import subprocess
import threading
import time
import warnings

import numpy as np

import kivo
from conftest import KIVOSIM, sample_files
from test_acquisition import A, B

KIVOINSPECT = os.environ["KIVOINSPECT"]
NSAMP = 43


def take_while_sending(acq, port, count, awake=float("inf"), sleep=0.0):
    """Sends `count` datagrams at 20,000/s in the background and takes
    read_samples() every 50 ms, sleeping `sleep` s after `awake` s, until all
    arrived and were taken; then closes. Returns the Samples."""
    sender = subprocess.Popen([KIVOSIM, "--port", str(port), "--channels", "16", "--count", str(count),
                               "--rate", "20000", "--content", "pattern", "--quiet"], stdout=subprocess.DEVNULL)
    taken, start, slept = [], time.monotonic(), False
    while time.monotonic() - start < 60:
        done = acq.status()["datagrams"] >= count
        taken.append(acq.read_samples())
        if done:
            acq.close()
            assert len(acq.read_samples().sequence_no) == 0  # nothing after close
            break
        if not slept and time.monotonic() - start >= awake:
            time.sleep(sleep)
            slept = True
        else:
            time.sleep(0.05)
    sender.wait(timeout=60)
    return taken


def test_every_datagram_row_for_row_and_close_saves_the_rest(port, tmp_path):
    acq = kivo.Acquisition(port, 16, tmp_path, B, A)
    empty = acq.read_samples()
    assert (empty.samples.shape, empty.samples.dtype, empty.sequence_no.shape, empty.stamps.shape,
            empty.times.shape, empty.first_sample, empty.missed) == ((0, 16), np.uint16, (0,), (0,), (0,), None, 0)
    taken = take_while_sending(acq, port, 100500)  # 'close' comes in the middle of the 101st block
    assert sum(s.missed for s in taken) == 0
    raw, filtered = sample_files(tmp_path)[0], sample_files(tmp_path, "filtered_samples")[0]
    assert os.path.getsize(raw) == os.path.getsize(filtered) == 100500 * 1396
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        rec = kivo.read_recording(raw)
    np.testing.assert_array_equal(np.concatenate([s.samples for s in taken]), rec.samples)
    np.testing.assert_array_equal(np.concatenate([s.sequence_no for s in taken]), rec.sequence_no)
    np.testing.assert_array_equal(np.concatenate([s.stamps for s in taken]), rec.stamps)
    assert [s.first_sample for s in taken if len(s.stamps)][0] == 0
    assert acq.status()["datagrams_not_saved"] == 0
    # Each call's rows lie on the line, under the stamps (only a first
    # datagram alone has none); once a second of stamps has settled the line,
    # it rises by a sample period a row. That needs a sender that holds its
    # rate: one that cannot (kivosim built with a sanitizer) looks like a
    # clock that steps again and again, and 'samples' knows only the current
    # line and the one before it.
    if rec.timing["clock_steps"] == 0:
        assert np.count_nonzero(np.isnan(np.concatenate([s.times for s in taken]))) <= NSAMP
        settled = rec.stamps[0] + 1.0
        for s in taken:
            assert not np.any(s.times[::NSAMP] > s.stamps + 2e-6)
            if len(s.stamps) > 1 and s.stamps[0] > settled:
                assert np.all(np.diff(s.times) > 0)
    inspect = subprocess.run([KIVOINSPECT, raw], capture_output=True, text=True)
    assert inspect.returncode == 0 and "a partial block of 500 slots" in inspect.stdout, inspect.stdout
    verify = subprocess.run([KIVOINSPECT, "--verify-filter", raw, filtered], capture_output=True, text=True)
    assert verify.returncode == 0, verify.stdout


def test_a_caller_that_sleeps_past_the_ring_misses_an_exact_count_and_resumes(port, tmp_path):
    acq = kivo.Acquisition(port, 16, tmp_path)
    # The ring holds 2.4 s at this rate.
    taken = take_while_sending(acq, port, 100000, awake=1.0, sleep=3.5)
    assert any(s.missed for s in taken)
    assert acq.status()["samples_missed"] == sum(s.missed for s in taken)
    # Each take resumes where the file does after what it missed: no row
    # twice, none left out but those counted. (A slow caller, as under a
    # sanitizer, may miss again in the take after its sleep.)
    rec = kivo.read_recording(sample_files(tmp_path)[0])
    row = 0
    for s in taken:
        row += s.missed * NSAMP
        if s.missed:
            assert s.first_sample == row
        np.testing.assert_array_equal(s.samples, rec.samples[row:row + len(s.samples)])
        row += len(s.samples)
    assert row == len(rec.samples)


def test_close_ends_waits_in_other_threads_at_once(port, tmp_path):
    acq = kivo.Acquisition(port, 16, tmp_path)
    results = {}
    waiters = [threading.Thread(target=lambda: results.update(read=acq.read(timeout=60))),
               threading.Thread(target=lambda: results.update(samples=acq.read_samples(timeout=60)))]
    for waiter in waiters:
        waiter.start()
    time.sleep(0.2)  # both waiting
    acq.close()
    for waiter in waiters:
        waiter.join(timeout=30)
        assert not waiter.is_alive()
    assert results["read"] is None and len(results["samples"].sequence_no) == 0
