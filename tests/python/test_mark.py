"""Acquisition.mark() against kivosim: rows at the samples of the call's
moment, read back by read_recording; the errors; and a host killed after
three marks leaves three rows."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import kivo
from conftest import KIVOINSPECT, KIVOSIM, metadata, received, sample_files


def test_marks_land_at_the_rows_latest_at_the_call(port, tmp_path):
    acq = kivo.Acquisition(port, 4, tmp_path)
    with pytest.raises(kivo.KivoError, match="whole number from 0 to 4294967295"):
        acq.mark(2 ** 32)
    acq.mark(7, "before\tthe first datagram")
    # A mark lands at the device's sample of its moment on the fitted line;
    # the datagrams that carry it arrive later by the delivery's delay. At 50
    # datagrams/s one datagram (20 ms) outlasts that delay on a loaded machine.
    sender = subprocess.Popen([KIVOSIM, "--port", str(port), "--channels", "4", "--count", "150",
                               "--rate", "50", "--quiet"], stdout=subprocess.DEVNULL)
    try:
        assert received(acq, 10)
        rows, bounds = 0, []
        for k in range(5):
            rows += len(acq.read_samples().samples)
            before = rows
            acq.mark(200 + k, None if k == 0 else "trial %d" % k)
            rows += len(acq.read_samples().samples)
            bounds.append((before - 1, rows - 1))  # the rows latest before and after the call
            time.sleep(0.1)
        assert sender.wait(60) == 0
        assert received(acq, 150)
    finally:
        acq.close()
    with pytest.raises(kivo.KivoError, match="no acquisition is open to mark"):
        acq.mark(1)

    raw = sample_files(tmp_path)[0]
    rec = kivo.read_recording(raw)
    events = rec.events
    assert [e["value"] for e in events] == [7, 200, 201, 202, 203, 204]
    assert [e["text"] for e in events] == ["before the first datagram", None] + ["trial %d" % k for k in range(1, 5)]
    assert events[0]["sample"] is None and events[0]["onset"] is None
    rate = rec.timing["sample_rate"]
    for e, (first, last) in zip(events[1:], bounds):
        # within one datagram (125 rows) of the rows latest at the call
        assert first - 125 <= e["sample"] <= last + 125, (e, first, last)
        assert abs(rec.times[e["sample"]] - e["stamp"]) < 125 / rate + 0.01
        assert e["onset"] == pytest.approx(e["stamp"] - rec.times[0], abs=2e-3)
    meta = metadata(raw)
    assert meta["event_count"] == 6
    assert meta["events_file"] == os.path.basename(raw).replace("_kivo_samples.dat", "_kivo_events.tsv")

    # kivoinspect counts them and checks each row's time against its stamp.
    inspect = subprocess.run([KIVOINSPECT, raw], capture_output=True, text=True)
    assert inspect.returncode == 0 and "6 marked, 5 placed on the timing" in inspect.stdout, inspect.stdout
    path = kivo.events.events_path(raw)
    with open(path) as f:
        lines = f.read().split("\n")
    fields = lines[3].split("\t")
    fields[2] = str(int(fields[2]) + 50 * 125)  # 50 datagrams (1 s) late
    lines[3] = "\t".join(fields)
    with open(path, "w") as f:
        f.write("\n".join(lines))
    inspect = subprocess.run([KIVOINSPECT, raw], capture_output=True, text=True)
    assert inspect.returncode != 0 and "the event on line 4 of the events file: its row" in inspect.stdout


def test_a_killed_host_keeps_every_mark_made(port, tmp_path):
    child = textwrap.dedent("""
        import sys, time, kivo
        acq = kivo.Acquisition(%d, 2, sys.argv[1])
        for k in range(3):
            acq.mark(k + 1, "mark %%d" %% k)
        print("marked", flush=True)
        time.sleep(60)
    """ % port)
    host = subprocess.Popen([sys.executable, "-c", child, str(tmp_path)], stdout=subprocess.PIPE, text=True)
    try:
        assert any(line.strip() == "marked" for line in host.stdout)  # after the start line
    finally:
        os.kill(host.pid, signal.SIGKILL)
        host.wait()
    events = kivo.events.read_events(kivo.events.events_path(sample_files(tmp_path)[0]))
    assert [(e["value"], e["text"]) for e in events] == [(1, "mark 0"), (2, "mark 1"), (3, "mark 2")]
