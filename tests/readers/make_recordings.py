"""Makes the recordings that the reader tests read back, with kivosim's
verifiable pattern: velto's raw and filtered files (3 channels, through
Octave, closed in the middle of a block) and kivorec's file (16 channels,
stopped with Ctrl-C in the middle of a block). Writes manifest.json beside them with what each reader must find.

usage: make_recordings.py OUT_DIR VELTO_DIR KIVOSIM KIVOREC PORT
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


def main(out, velto_dir, kivosim, kivorec, port):
    shutil.rmtree(out, ignore_errors=True)
    for name in ("velto", "kivorec"):
        os.makedirs(os.path.join(out, name))
    manifest = {
        "velto": record_with_velto(os.path.join(out, "velto"), velto_dir, kivosim, int(port)),
        "kivorec": record_with_kivorec(os.path.join(out, "kivorec"), kivorec, kivosim),
    }
    with open(os.path.join(out, "manifest.json"), "w") as f:
        json.dump(manifest, f, indent=2)
    print("ALL PASSED")


if __name__ == "__main__":
    main(*sys.argv[1:6])
