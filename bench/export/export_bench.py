"""kivoexport of a large recording (default 1 GiB: 8 channels, a few gaps and
stale slots) against reading the same file into memory with the package
kivo's reader (kivo.read_recording(path).samples), in the same run and from
the same warm page cache: wall time, and peak memory of each process -
private (anonymous) memory and mapped file pages apart, sampled from
/proc/PID/status, with the kernel's peak resident size beside them.
kivoexport's time includes bringing its 2 GiB of floats to the disk.

usage: python3 bench/export/export_bench.py --build BUILD [--gib G] [--dir FOLDER] [--runs N]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "python"))
import kivo  # noqa: E402

NCHANS, NSAMP = 8, 86
CHUNK = 20000  # slots made at a time


def make_recording(folder, gib):
    path = os.path.join(folder, "2024-05-01_10-00-00_kivo_samples.dat")
    dtype = kivo.recording.slot_dtype("raw", NCHANS, NSAMP)
    slots = int(gib * 2**30) // dtype.itemsize
    rng = np.random.default_rng(1)
    u = 0
    with open(path, "wb") as f:
        for start in range(0, slots, CHUNK):
            n = min(CHUNK, slots - start)
            chunk = np.zeros(n, dtype)
            numbers = u + np.arange(n) + (np.arange(n) // 5000)  # a datagram missing every 5000
            u = int(numbers[-1]) + 1
            chunk["sequence_no"] = numbers % 65536
            chunk["stamp"] = 1714550400.0 + numbers / 1000.0 + rng.uniform(0, 50e-6, n)
            chunk["samples"] = rng.integers(0, 65536, (n, NSAMP, NCHANS), dtype=np.uint16)
            if start // CHUNK % 10 == 5:
                chunk[-10:] = 0  # stale slots, never written
            chunk.tofile(f)
    slot = dtype.itemsize
    meta = {"format": "kivo-samples-metadata", "format_version": 1, "kind": "raw",
            "sample_file": os.path.basename(path), "companion_file": "", "nchans": NCHANS, "nsamp": NSAMP,
            "datagram_size_bytes": slot - 8, "slot_size_bytes": slot, "slots_per_block": 1000,
            "block_size_bytes": slot * 1000, "stamped": True,
            "stamp_type": "float64 seconds since 1970-01-01T00:00:00Z", "byte_order": "little-endian",
            "sample_type": "uint16", "port": 55000, "start_time_local": "2024-05-01T10:00:00+02:00",
            "start_time_utc": "2024-05-01T08:00:00Z", "host": "bench", "writer": "velto",
            "software_version": "bench", "blocks_written": slots // 1000, "slots_written": slots,
            "datagrams_received": slots, "failed_receives": 0, "sequence_gaps": 0, "writer_stalls": 0,
            "blocks_lost": 0, "write_errors": 0, "kernel_drops": 0, "ended": "closed"}
    with open(kivo.recording.metadata_path(path), "w") as f:
        json.dump(meta, f)
    return path


def status_kib(pid, field):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def measure(args):
    """(seconds, peak private MiB, peak mapped-file MiB, peak RSS MiB) of one run of `args`."""
    peaks = {"RssAnon": 0, "RssFile": 0}
    start = time.perf_counter()
    child = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def sample():
        while child.poll() is None:
            for field in peaks:
                peaks[field] = max(peaks[field], status_kib(child.pid, field))
            time.sleep(0.01)

    sampler = threading.Thread(target=sample)
    sampler.start()
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    sampler.join()
    out, err = child.communicate()
    if child.returncode != 0:
        raise SystemExit("%s failed: %s%s" % (args[0], out, err))
    return seconds, peaks["RssAnon"] / 1024, peaks["RssFile"] / 1024, usage.ru_maxrss / 1024, out


READ = ("import sys, time; sys.path.insert(0, %r); import kivo; t = time.perf_counter(); "
        "s = kivo.read_recording(sys.argv[1]).samples; print(s.shape, time.perf_counter() - t)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--gib", type=float, default=1.0)
    parser.add_argument("--dir", default=None, help="folder for the recording and its export (default: a temporary one)")
    parser.add_argument("--runs", type=int, default=2)
    args = parser.parse_args()
    kivoexport = os.path.join(args.build, "tools", "kivoexport", "kivoexport")
    folder = tempfile.mkdtemp(prefix="export_bench_", dir=args.dir)
    try:
        path = make_recording(folder, args.gib)
        size = os.path.getsize(path)
        print("recording: %.2f GiB, %d slots of %d channels; load %s" % (
            size / 2**30, size // (NCHANS * NSAMP * 2 + 20), NCHANS, open("/proc/loadavg").read().split()[:3]))
        subprocess.run(["cat", path], stdout=subprocess.DEVNULL, check=True)  # the same warm cache for both
        print("%-26s %9s %12s %12s %12s" % ("", "seconds", "private MiB", "file MiB", "peak RSS MiB"))
        results = {}
        for run in range(args.runs):
            for name, command in (("kivoexport", [kivoexport, path]),
                                  ("python read into memory", [sys.executable, "-c", READ % os.path.join(ROOT, "python"), path])):
                seconds, private, mapped, rss, out = measure(command)
                results.setdefault(name, []).append((seconds, private, mapped, rss))
                inside = " (the read itself %.2f s)" % float(out.split()[-1]) if name != "kivoexport" else ""
                print("%-26s %9.2f %12.1f %12.1f %12.1f%s" % (name, seconds, private, mapped, rss, inside))
        best = {name: min(r, key=lambda x: x[0]) for name, r in results.items()}
        e, p = best["kivoexport"], best["python read into memory"]
        print("best of %d: kivoexport %.2f s (%.0f MB/s of recording), Python read %.2f s; time ratio %.2f"
              % (args.runs, e[0], size / e[0] / 1e6, p[0], e[0] / p[0]))
        print("peak private memory: kivoexport %.1f MiB, Python read %.1f MiB; ratio %.3f"
              % (e[1], p[1], e[1] / p[1]))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
