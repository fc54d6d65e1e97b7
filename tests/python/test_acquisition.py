"""kivo.Acquisition against kivosim: the files, the read rule, waiting reads,
the counters, the filter, argument errors and every way an acquisition ends."""

import gc
import os
import signal
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import kivo
from conftest import metadata, received, sample_files, sim, wait_until

# butter(2, [0.05 0.25]), as the plug-in's filter tests use it.
B = [0.067455273889071923, 0, -0.13491054777814385, 0, 0.067455273889071923]
A = [1, -2.9445317761650216, 3.3862060444122672, -1.8442867368325571, 0.4128015980961886]


def pattern_datagrams(index, nchans, nsamp):
    """The bytes of kivosim's pattern datagrams with these running indexes."""
    seq = (index % 65536).astype(np.uint32)
    head = np.zeros((len(index), 12), np.uint8)
    head[:, 0:2] = (ord("K"), ord("V"))
    head[:, 2:6] = index.astype("<u4").view(np.uint8).reshape(-1, 4)
    head[:, 6], head[:, 7] = nchans, 1
    head[:, 8:10] = (65535 - seq).astype("<u2").view(np.uint8).reshape(-1, 2)
    head[:, 10:12] = seq.astype("<u2").view(np.uint8).reshape(-1, 2)
    t = np.arange(nsamp, dtype=np.uint32)[None, :, None]
    x = seq[:, None, None] * np.uint32(40503) + np.arange(nchans, dtype=np.uint32) * np.uint32(9973) + t * np.uint32(131)
    samples = (x ^ (x >> np.uint32(11))).astype("<u2").view(np.uint8).reshape(len(index), -1)
    return np.concatenate([head, samples], axis=1)


def difference_equation(x, b, a):
    """The filter's oracle: y[n] = b0 x[n] + ... + b4 x[n-4] - a1 y[n-1] - ...
    - a4 y[n-4] in single precision, rounded after every operation in that
    order, stored as trunc(sum + 0.5) + 32767 in 0..65535, from zero histories."""
    b, a = np.float32(b), np.float32(a)
    steps, nchans = x.shape
    xs = np.vstack([np.zeros((4, nchans), np.float32), x.astype(np.float32)])
    n = np.arange(4, steps + 4)
    part = b[0] * xs[n] + b[1] * xs[n - 1]
    for k in (2, 3, 4):
        part = part + b[k] * xs[n - k]
    fed = np.full((steps + 4, nchans), -32767, np.float32)
    stored = np.zeros((steps, nchans), np.uint16)
    for t in range(steps):
        s = part[t] - a[1] * fed[t + 3]
        s = s - a[2] * fed[t + 2]
        s = s - a[3] * fed[t + 1]
        s = s - a[4] * fed[t]
        s = s + np.float32(0.5)
        with np.errstate(invalid="ignore"):
            cut = np.trunc(s.astype(np.float64))
        value = np.clip(cut + 32767, 0, 65535)
        value[np.isnan(s) | (cut < -2**31) | (cut > 2**31 - 1)] = 0
        stored[t] = value
        fed[t + 4] = value - 32767
    return stored


def test_files_hold_exactly_what_kivosim_sent(port, tmp_path):
    with kivo.Acquisition(port, 8, tmp_path) as acq:
        sim(port, 8, 2000, "--content", "pattern")
        assert received(acq, 2000)
    rec = kivo.read_recording(sample_files(tmp_path)[0])
    assert rec.slots == 2000 and metadata(rec.path)["ended"] == "closed"
    slots = np.asarray(rec.records).view(np.uint8).reshape(2000, -1)
    np.testing.assert_array_equal(slots[:, 8:], pattern_datagrams(np.arange(2000), 8, rec.nsamp))
    assert np.all(np.diff(rec.stamps) >= 0)


def test_read_returns_the_latest_datagram_once_per_datagram_received(port, tmp_path):
    with kivo.Acquisition(port, 4, tmp_path) as acq:
        assert acq.read() is None
        before = time.time()
        sim(port, 4, 3, "--content", "pattern")
        assert received(acq, 3)
        frames = [acq.read() for _ in range(4)]
        assert [f.sequence_no for f in frames[:3]] == [2, 2, 2] and frames[3] is None
        first = frames[0]
        assert first.samples.dtype == np.uint16 and first.samples.shape == (acq.nsamp, 4) == (125, 4)
        np.testing.assert_array_equal(first.samples.astype("<u2").view(np.uint8).ravel(),
                                      pattern_datagrams(np.array([2]), 4, 125)[0, 12:])
        assert before <= first.stamp <= time.time()
        # A backlog allows total_bytes // datagram_size_bytes reads, however long.
        sim(port, 4, 3000)
        assert received(acq, 3003)
        reads = 0
        while acq.read() is not None:
            reads += 1
        assert reads == (1012 + 8) * 1000 // 1012 == 1007


def test_read_with_a_timeout_waits_for_a_datagram_and_returns_none_without_one(port, tmp_path):
    with kivo.Acquisition(port, 16, tmp_path) as acq:
        assert acq.read(timeout=0.05) is None
        sender = threading.Timer(0.2, sim, (port, 16, 1))
        sender.start()
        frame = acq.read(timeout=60)
        sender.join()
        assert frame is not None and frame.sequence_no == 0


def test_status_adds_up(port, tmp_path):
    with kivo.Acquisition(port, 16, tmp_path) as acq:
        sim(port, 16, 2600, "--skip-every", "99")  # every 100th number is skipped: 26 gaps
        assert received(acq, 2600)
        s = acq.status()
        assert (s["running"], s["saving"], s["port"], s["nchans"], s["nsamp"]) == (True, True, port, 16, 43)
        assert (s["datagrams"], s["bytes"], s["sequence_gaps"]) == (2600, 2600 * 1388, 26)
        assert s["failed_receives"] == s["write_errors"] == s["wrong_size_datagrams"] == 0
    s = acq.status()
    # The 600 datagrams of the block in progress are saved at close as a last, partial block.
    assert not s["running"] and not s["saving"] and s["blocks_saved"] == 2 and s["datagrams_not_saved"] == 0
    assert list(s) == ["running", "port", "nchans", "nsamp", "datagrams", "bytes", "failed_receives",
                       "sequence_gaps", "blocks_saved", "writer_stalls", "write_errors", "kernel_drops",
                       "wrong_size_datagrams", "datagrams_not_saved", "socket_buffer_bytes", "saving",
                       "filtered_clipped_samples", "samples_missed", "raw_file", "filtered_file"]


@pytest.mark.skipif(not os.environ.get("KIVO_OCTAVE"), reason="needs Octave and velto.mex")
def test_status_has_the_fields_of_velto_status_in_order_and_kind(port, tmp_path):
    script = ("addpath(getenv('VELTO_DIR')); s = velto('status'); f = fieldnames(s);"
              "for k = 1:numel(f) printf('field %s %s\\n', f{k}, class(s.(f{k}))); end")
    out = subprocess.run([os.environ["KIVO_OCTAVE"], "--no-gui", "--norc", "--quiet", "--eval", script],
                         capture_output=True, text=True, check=True, timeout=120).stdout
    mex = [tuple(line.split()[1:]) for line in out.splitlines() if line.startswith("field ")]
    with kivo.Acquisition(port, 16, tmp_path) as acq:
        status = acq.status()
    matlab_class = {bool: "logical", int: "double", str: "char"}
    assert [(key, matlab_class[type(value)]) for key, value in status.items()] == mex


def test_filtered_file_is_the_difference_equation_over_the_raw_file(port, tmp_path):
    with kivo.Acquisition(port, 16, tmp_path, np.array(B), A) as acq:
        sim(port, 16, 2000, "--content", "sine", rate=5000)
        assert received(acq, 2000)
    raw = kivo.read_recording(sample_files(tmp_path)[0])
    filtered = kivo.read_recording(sample_files(tmp_path, "filtered_samples")[0])
    assert filtered.slots == raw.slots == 2000
    np.testing.assert_array_equal(filtered.header, raw.header)
    np.testing.assert_array_equal(filtered.stamps, raw.stamps)
    np.testing.assert_array_equal(filtered.samples, difference_equation(np.asarray(raw.samples), B, A))


@pytest.mark.parametrize("args, message", [
    ((0, 4), "invalid port (must be between 1 and 65535)"),
    ((70000, 4), "invalid port (must be between 1 and 65535)"),
    ((float("nan"), 4), "invalid port (must be between 1 and 65535)"),
    (("48000", 4), "port must be a real number"),
    ((True, 4), "port must be a real number"),
    ((1 + 2j, 4), "port must be a real number"),
    ((None, 17), "invalid # of channels (must be between 1 and 16)"),
    ((None, 0.99), "invalid # of channels (must be between 1 and 16)"),
    ((None, float("nan")), "invalid # of channels (must be between 1 and 16)"),
    ((None, [4]), "nchans must be a real number"),
    ((None, 4, 5), "savedir must be a string"),
    ((None, 4, b"/tmp"), "savedir must be a string"),
    ((None, 4, "/tmp\0x"), "savedir must not contain a NUL character"),
    ((None, 4, None, B), "Acquisition(port, nchans, savedir) or Acquisition(port, nchans, savedir, b, a)"),
    ((None, 4, None, B, A[:4]), "filter coefficients MUST describe 2nd order butterworth!"),
    ((None, 4, None, [float("nan")] + B[1:], A), "filter coefficients MUST describe 2nd order butterworth!"),
    ((None, 4, None, B[:4] + [float("inf")], A), "filter coefficients MUST describe 2nd order butterworth!"),
    ((None, 4, None, B, A[:2] + [float("nan")] + A[3:]), "filter coefficients MUST describe 2nd order butterworth!"),
    ((None, 4, None, B, A[:4] + [-float("inf")]), "filter coefficients MUST describe 2nd order butterworth!"),
    ((None, 4, None, B, []), "filter coefficients b and a must be non-empty real numeric arrays"),
    ((None, 4, None, B, ["1"] * 5), "filter coefficients b and a must be non-empty real numeric arrays"),
    ((None, 4, None, [1j] * 5, A), "filter coefficients b and a must be non-empty real numeric arrays"),
])
def test_argument_errors(port, tmp_path, args, message):
    args = (port if args[0] is None else args[0], args[1]) + \
        ((str(tmp_path) if len(args) < 3 or args[2] is None else args[2]),) + tuple(args[3:])
    with pytest.raises(kivo.KivoError) as caught:
        kivo.Acquisition(*args)
    assert str(caught.value) == message
    assert sample_files(tmp_path, "*") == []


def test_read_timeout_must_be_seconds(port, tmp_path):
    with kivo.Acquisition(port, 1, tmp_path) as acq:
        for timeout in (-1, float("nan"), "1", True):
            with pytest.raises(kivo.KivoError, match="timeout must be a real number of seconds"):
                acq.read(timeout)


def test_with_block_double_close_and_del_while_acquiring_end_cleanly(port, tmp_path):
    os.makedirs(tmp_path / "with")
    with kivo.Acquisition(port, 2, tmp_path / "with") as acq:
        assert acq.status()["running"]
    acq.close()
    assert not acq.status()["running"] and metadata(sample_files(tmp_path / "with")[0])["ended"] == "closed"
    os.makedirs(tmp_path / "del")
    acq = kivo.Acquisition(port, 2, tmp_path / "del")
    sender = subprocess.Popen([os.environ["KIVOSIM"], "--port", str(port), "--channels", "2", "--quiet",
                               "--count", "100000", "--rate", "20000"])
    assert received(acq, 1500)
    del acq
    gc.collect()
    sender.kill()
    sender.wait()
    meta = metadata(sample_files(tmp_path / "del")[0])
    assert meta["ended"] == "closed" and meta["blocks_written"] >= 1
    with kivo.Acquisition(port, 2, tmp_path / "del"):  # the port is free again
        pass


CHILD = """
import sys, kivo
acq = kivo.Acquisition(int(sys.argv[1]), 4, sys.argv[2])
print("ready", flush=True)
sys.stdin.readline()
{ending}
"""


def child(code, port, folder):
    return subprocess.Popen([sys.executable, "-c", code, str(port), str(folder)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def test_interpreter_exit_while_acquiring_completes_the_files(port, tmp_path):
    ending = "while acq.status()['datagrams'] < 2500: pass"
    proc = child(CHILD.format(ending=ending), port, tmp_path)
    assert proc.stdout.readline().startswith("UDP connection")
    assert proc.stdout.readline() == "ready\n"
    sim(port, 4, 2500, "--content", "pattern")
    out, err = proc.communicate("go\n", timeout=60)
    assert proc.returncode == 0, err
    dat = sample_files(tmp_path)[0]
    meta = metadata(dat)
    assert meta["ended"] == "closed" and meta["blocks_written"] == 2 and meta["slots_written"] == 2500
    assert os.path.getsize(dat) == 2500 * (1012 + 8)  # the block in progress too


def test_two_acquisitions_at_once(port, tmp_path):
    os.makedirs(tmp_path / "one")
    os.makedirs(tmp_path / "two")
    with kivo.Acquisition(port, 4, tmp_path / "one") as one, \
            kivo.Acquisition(port + 50, 16, tmp_path / "two") as two:
        threads = [threading.Thread(target=sim, args=args) for args in
                   ((port, 4, 1000, "--content", "pattern"), (port + 50, 16, 2000, "--content", "pattern"))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert received(one, 1000) and received(two, 2000)
    for folder, nchans, slots in ((tmp_path / "one", 4, 1000), (tmp_path / "two", 16, 2000)):
        rec = kivo.read_recording(sample_files(folder)[0])
        assert (rec.nchans, rec.slots) == (nchans, slots)
        np.testing.assert_array_equal(np.asarray(rec.records).view(np.uint8).reshape(slots, -1)[:, 8:],
                                      pattern_datagrams(np.arange(slots), nchans, rec.nsamp))


def test_a_second_acquisition_on_the_port_is_refused_and_the_first_keeps_every_datagram(port, tmp_path):
    with kivo.Acquisition(port, 2, tmp_path) as first:
        with pytest.raises(kivo.KivoError, match="^bind - Address already in use$"):
            kivo.Acquisition(port, 2, tmp_path)
        sim(port, 2, 3000, "--content", "pattern")
        assert received(first, 3000)
    rec = kivo.read_recording(sample_files(tmp_path)[0])
    assert rec.slots == 3000 and metadata(rec.path)["datagrams_received"] == 3000


FORK = """
import os, signal, sys, time, kivo
acq = kivo.Acquisition(int(sys.argv[1]), 4, sys.argv[2])
pid = os.fork()
if pid == 0:
    sys.exit(0)  # the interpreter's exit: the atexit hook and the finaliser
deadline = time.monotonic() + 30
while os.waitpid(pid, os.WNOHANG) == (0, 0) and time.monotonic() < deadline:
    time.sleep(0.01)
if time.monotonic() >= deadline:
    os.kill(pid, signal.SIGKILL)
    print("child hung", flush=True)
else:
    print("child ended", flush=True)
sys.stdin.readline()
acq.close()
"""


def test_a_forked_child_that_exits_leaves_the_parents_recording_alone(port, tmp_path):
    proc = child(FORK, port, tmp_path)
    assert proc.stdout.readline().startswith("UDP connection")
    assert proc.stdout.readline() == "child ended\n"
    sim(port, 4, 2000, "--content", "pattern")
    out, err = proc.communicate("go\n", timeout=60)
    assert proc.returncode == 0 and err == "", err
    dat = sample_files(tmp_path)[0]
    meta = metadata(dat)
    assert (meta["ended"], meta["datagrams_received"], meta["failed_receives"], meta["blocks_written"]) == \
        ("closed", 2000, 0, 2)
    assert os.path.getsize(dat) == 2 * (1012 + 8) * 1000


def test_an_empty_savedir_is_the_current_folder(port, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with kivo.Acquisition(port, 2, "") as acq:
        sim(port, 2, 1000)
        assert received(acq, 1000)
    [dat] = sample_files(tmp_path)
    assert metadata(dat)["blocks_written"] == 1


def test_ctrl_c_interrupts_a_waiting_read(port, tmp_path):
    # Ctrl-C as a terminal's interpreter takes it, although a runner that
    # starts the tests in the background hands its children SIGINT ignored.
    code = CHILD.format(ending="""
import signal
signal.signal(signal.SIGINT, signal.default_int_handler)
try:
    print("waiting", flush=True)
    acq.read(timeout=30)
except KeyboardInterrupt:
    print("interrupted", flush=True)
""")
    proc = child(code, port, tmp_path)
    proc.stdout.readline()
    assert proc.stdout.readline() == "ready\n"
    proc.stdin.write("go\n")
    proc.stdin.flush()
    assert proc.stdout.readline() == "waiting\n"
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=20)
    assert out == "interrupted\n" and proc.returncode == 0, err
    assert metadata(sample_files(tmp_path)[0])["ended"] == "closed"


def test_close_reports_trouble_as_kivo_warnings(port, tmp_path):
    acq = kivo.Acquisition(port, 8, tmp_path)
    sim(port, 4, 10)  # datagrams of 4 channels where 8 are expected
    assert received(acq, 10)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        acq.close()
    texts = [str(w.message) for w in caught if w.category is kivo.KivoWarning]
    assert any(t.startswith("10 datagram(s) of 1012 bytes arrived where 1388 bytes are expected") for t in texts)


def test_an_acquisition_names_its_files_without_printing_them(port, tmp_path, capsys):
    with kivo.Acquisition(port, 4, tmp_path, B, A) as acq:
        raw, filtered = sample_files(tmp_path)[0], sample_files(tmp_path, "filtered_samples")[0]
        assert os.path.isabs(acq.raw_file)
        assert (acq.raw_file, acq.filtered_file) == (raw, filtered)
        assert (acq.status()["raw_file"], acq.status()["filtered_file"]) == (raw, filtered)
    assert capsys.readouterr().out == "UDP connection to @ port %d opened...\n" % port
    with kivo.Acquisition(port, 4, tmp_path) as acq:
        assert acq.filtered_file == "" and acq.raw_file not in (raw, "")


def test_a_wrong_channel_count_is_said_at_the_first_call_after_it_once_an_acquisition(port, tmp_path):
    for _ in range(2):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            acq = kivo.Acquisition(port, 4, tmp_path)
            sim(port, 8, 20)
            assert received(acq, 20)
            acq.read()
            acq.status()
            early = [str(w.message) for w in caught if w.category is kivo.KivoWarning]
            acq.close()
        assert early == ["a datagram of 1388 bytes arrived where 1012 bytes are expected for 4 channels; "
                         "check the channel count"]


def test_the_command_line_version_help_and_what_it_refuses(tmp_path):
    def kivo_main(*args):
        return subprocess.run([sys.executable, "-m", "kivo"] + list(args), capture_output=True, text=True,
                              timeout=60)
    version = kivo_main("--version")
    assert (version.returncode, version.stdout) == (0, "kivo %s\n" % kivo.__version__)
    help_text = kivo_main("--help")
    assert help_text.returncode == 0 and "Exit status: 0 the summary was printed; 2 " in help_text.stdout
    extra = kivo_main("a.dat", "b.dat")
    assert extra.returncode == 2 and extra.stderr.startswith("usage: python3 -m kivo ")
    missing = kivo_main(str(tmp_path / "none.dat"))
    assert missing.returncode == 2
    assert missing.stderr.startswith("kivo: %s: no such file; check its folder and name" % (tmp_path / "none.dat"))
