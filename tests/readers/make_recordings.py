"""Makes the recordings that the reader tests read back, with kivosim's
verifiable pattern: velto's raw and filtered files (3 channels, through
Octave, closed in the middle of a block) and kivorec's file (16 channels,
stopped with Ctrl-C in the middle of a block). Then the timed recordings, each
with kivosim's stalls, jitter and send log: velto's (through Octave), the
Python package's and kivorec's (at 20,000 datagrams/s, stopped for 4 s: more
than three wraps of the sequence number lost). Writes manifest.json beside
them with what each reader must find.

usage: make_recordings.py OUT_DIR BUILD_DIR KIVOSIM KIVOREC PORT
"""

import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import time

RECORDER_PORT = 55000
# Delays that a clock fit must see through: every 2 s a 150 ms stall, and
# random delays of tens of microseconds.
DELAYS = ["--stall-every", "2", "--stall-ms", "150", "--jitter-us", "30"]


def run(args, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, timeout=120, **kwargs)
    if result.returncode != 0:
        raise SystemExit("%s failed (%d): %s%s" % (args[0], result.returncode, result.stdout, result.stderr))
    return result.stdout


def record_with_velto(folder, velto_dir, kivosim, port):
    # Every 1500th datagram is empty, a receive attempt without a slot: block
    # 1 ends in a slot never written, block 2 in one still holding block 0's.
    # 'close' comes 300 datagrams into block 4 and saves them as a partial block.
    sim = "%s --quiet --port %d --channels 3 --content pattern --count 4300 --rate 20000 --empty-every 1500" % (
        kivosim, port)
    script = ("addpath('%s'); pkg load signal; [b, a] = butter(2, [0.05 0.25]); "
              "velto('open', %d, 3, '%s', b, a); system('%s'); "
              "for k = 1:200, s = velto('status'); if s.datagrams + s.failed_receives >= 4300, break; end; pause(0.05); end; "
              "velto('close');"
              % (velto_dir, port, folder, sim))
    try:
        run(["octave-cli", "--no-gui", "--norc", "--quiet", "--eval", script])
    except SystemExit:  # no signal package: any five coefficients do
        script = script.replace("pkg load signal; [b, a] = butter(2, [0.05 0.25]); ",
                                "b = [0.0675 0 -0.135 0 0.0675]; a = [1 -2.94 3.39 -1.84 0.41]; ")
        run(["octave-cli", "--no-gui", "--norc", "--quiet", "--eval", script])
    raw = glob.glob(os.path.join(folder, "*_kivo_samples.dat"))
    filtered = glob.glob(os.path.join(folder, "*_kivo_filtered_samples.dat"))
    assert len(raw) == 1 and len(filtered) == 1, os.listdir(folder)
    return {"raw": raw[0], "filtered": filtered[0], "nchans": 3, "slots": 4300,
            "stale": [1999, 2999]}


def port_bound(port):
    with open("/proc/net/udp") as table:
        return any((":%04X " % port) in line.split()[1] + " " for line in table.readlines()[1:])


def record_with_kivorec(folder, kivorec, kivosim):
    log = open(os.path.join(folder, "..", "kivorec.log"), "w")
    recorder = subprocess.Popen([kivorec, "16"], cwd=folder, stdout=log, stderr=subprocess.STDOUT)
    deadline = time.time() + 20
    while not port_bound(RECORDER_PORT):
        if time.time() > deadline or recorder.poll() is not None:
            raise SystemExit("kivorec did not bind port %d" % RECORDER_PORT)
        time.sleep(0.05)
    run([kivosim, "--quiet", "--port", str(RECORDER_PORT), "--channels", "16", "--content", "pattern",
         "--count", "2500", "--rate", "20000"])
    time.sleep(0.3)
    recorder.send_signal(signal.SIGINT)  # the block in progress never completes: it is cut short
    if recorder.wait(timeout=30) != 0:
        raise SystemExit("kivorec ended with %d" % recorder.returncode)
    files = glob.glob(os.path.join(folder, "*_kivo_samples.dat"))
    assert len(files) == 1, os.listdir(folder)
    return {"file": files[0], "nchans": 16, "slots": 2500, "stale": []}


def timed_sim(kivosim, port, nchans, rate, count, log):
    return [kivosim, "--quiet", "--port", str(port), "--channels", str(nchans), "--content", "pattern",
            "--rate", str(rate), "--count", str(count)] + DELAYS + ["--send-log", log]


def sample_file(folder):
    files = glob.glob(os.path.join(folder, "*_kivo_samples.dat"))
    assert len(files) == 1, os.listdir(folder)
    return files[0]


# 16000 datagrams of 4 channels at 2000/s: 8 s, four stalls. Long enough that
# a rate held to a part per million needs its ends to within 4 us, not 2.
TIMED = {"nchans": 4, "rate": 2000, "count": 16000}


def start_timed_velto(folder, velto_dir, kivosim, port):
    sim = " ".join(timed_sim(kivosim, port, TIMED["nchans"], TIMED["rate"], TIMED["count"],
                             os.path.join(folder, "sent.txt")))
    script = ("addpath('%s'); velto('open', %d, %d, '%s'); system('%s'); "
              "for k = 1:100, s = velto('status'); if s.datagrams >= %d, break; end; pause(0.05); end; "
              "velto('close');" % (velto_dir, port, TIMED["nchans"], folder, sim, TIMED["count"]))
    return subprocess.Popen(["octave-cli", "--no-gui", "--norc", "--quiet", "--eval", script],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def record_timed_with_python(folder, build_dir, kivosim, port):
    sys.path.insert(0, os.path.join(build_dir, "python"))
    import kivo
    log = os.path.join(folder, "sent.txt")
    with kivo.Acquisition(port, TIMED["nchans"], folder) as acq:
        run(timed_sim(kivosim, port, TIMED["nchans"], TIMED["rate"], TIMED["count"], log))
        deadline = time.time() + 10
        while acq.status()["datagrams"] < TIMED["count"] and time.time() < deadline:
            time.sleep(0.05)
    return dict(TIMED, file=sample_file(folder), log=log)


def record_timed_with_kivorec(folder, kivorec, kivosim):
    log = os.path.join(folder, "..", "kivorec_sent.txt")
    recorder = subprocess.Popen([kivorec, "16"], cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.time() + 20
    while not port_bound(RECORDER_PORT):
        if time.time() > deadline or recorder.poll() is not None:
            raise SystemExit("kivorec did not bind port %d" % RECORDER_PORT)
        time.sleep(0.05)
    sim = subprocess.Popen(timed_sim(kivosim, RECORDER_PORT, 16, 20000, 120000, log))
    time.sleep(1.0)
    recorder.send_signal(signal.SIGSTOP)  # the system drops what its buffer cannot hold
    time.sleep(4.0)
    recorder.send_signal(signal.SIGCONT)
    if sim.wait(timeout=60) != 0:
        raise SystemExit("kivosim ended with %d" % sim.returncode)
    time.sleep(0.3)
    recorder.send_signal(signal.SIGINT)
    # 3: stopped as asked, but the system dropped datagrams; 0 where it keeps no count of them (macOS).
    if recorder.wait(timeout=30) not in (0, 3):
        raise SystemExit("kivorec ended with %d" % recorder.returncode)
    return {"file": sample_file(folder), "log": log, "nchans": 16, "rate": 20000}


def without_fit(entry, folder):
    """A copy of a timed recording whose metadata holds no fit, as after a
    crash or from an older version: its readers fit its stamps."""
    os.makedirs(folder)
    copy = shutil.copy(entry["file"], folder)
    with open(entry["file"][:-len(".dat")] + ".json") as f:
        meta = json.load(f)
    del meta["timing"]
    with open(copy[:-len(".dat")] + ".json", "w") as f:
        json.dump(meta, f, indent=2)
    return dict(entry, file=copy)


def main(out, build_dir, kivosim, kivorec, port):
    shutil.rmtree(out, ignore_errors=True)
    for name in ("velto", "kivorec", "velto_timed", "python_timed", "kivorec_timed"):
        os.makedirs(os.path.join(out, name))
    velto_dir = build_dir
    manifest = {
        "velto": record_with_velto(os.path.join(out, "velto"), velto_dir, kivosim, int(port)),
        "kivorec": record_with_kivorec(os.path.join(out, "kivorec"), kivorec, kivosim),
    }
    # The timed recordings one after another: each sender and receiver has
    # the machine to itself.
    velto_timed = start_timed_velto(os.path.join(out, "velto_timed"), velto_dir, kivosim, int(port) + 1)
    output, _ = velto_timed.communicate(timeout=120)
    if velto_timed.returncode != 0:
        raise SystemExit("the timed velto recording failed: " + output)
    manifest["python_timed"] = record_timed_with_python(os.path.join(out, "python_timed"), build_dir, kivosim,
                                                        int(port) + 2)
    folder = os.path.join(out, "velto_timed")
    manifest["velto_timed"] = dict(TIMED, file=sample_file(folder), log=os.path.join(folder, "sent.txt"))
    manifest["velto_refit"] = without_fit(manifest["velto_timed"], os.path.join(out, "velto_refit"))
    manifest["kivorec_timed"] = record_timed_with_kivorec(os.path.join(out, "kivorec_timed"), kivorec, kivosim)
    with open(os.path.join(out, "manifest.json"), "w") as f:
        json.dump(manifest, f, indent=2)
    print("ALL PASSED")


if __name__ == "__main__":
    main(*sys.argv[1:6])
