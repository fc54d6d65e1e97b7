#!/usr/bin/env python3
"""kill -9 of kivorec at random moments while kivosim streams 16 channels at
10,000 datagrams/s (ten block writes a second), every other kill aimed at a
block write (about 10 ms after the progress line of the block's datagram
900, when the block has just been completed): every file stays readable by
kivoinspect and the readers up to its last whole block, its slots hold the
stream in order with nothing repeated or skipped, and at most the block in
flight is missing - the one being written when the kill came.

The files go to a tmpfs where root can mount one, so that the disk's speed
does not decide the outcome: with writes that go through to a real disk, a
write held up by the system leaves further completed blocks queued behind it
in kivorec's ring, and those die with the process as well (--disk shows how
many; nothing written is ever damaged beyond the one write in progress).

How many datagrams kivorec had received is known from its progress lines
(one after datagrams 0, 100, ..., 900 of each block): when the last line
printed is the L-th, at least (L - 1) * 100 + 1 had arrived, so at least
floor(((L - 1) * 100 + 1) / 1000) blocks were complete.

usage: test_recorder_kill9.py BUILD_DIR WORK_DIR [KILLS] [--disk]
"""
import os
import random
import shutil
import signal
import sys
import time
import warnings

from kivo_rig import (RECORDER_PORT, Failures, NetNs, Tmpfs, Tools, check_stream, import_kivo, is_root,
                      kivoinspect, recorder_output, sample_files, start_kivosim, start_listening_kivorec)

NCHANS = 16
SLOT = 1388
BLOCK = SLOT * 1000


def aim_at_a_write(folder, name, rng):
    """Waits for the progress line of datagram 900 of a block, then for about
    the 100 datagrams after it (10 ms): the block is complete and being
    written then."""
    out = os.path.join(os.path.dirname(folder), name + ".out")
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        with open(out) as f:
            lines = f.read().count("seq # = ")
        if lines and lines % 10 == 0:
            break
        time.sleep(0.0005)
    time.sleep(rng.uniform(0.009, 0.013))


def one_kill(t, tools, reader, ns, work, k, rng, allowed_missing):
    folder = os.path.join(work, "kill%02d" % k, "samples")
    os.makedirs(folder)
    rec = start_listening_kivorec(t, tools, NCHANS, folder, ns, "kill%02d" % k, "kill %d" % k)
    if rec is None:
        return None
    time.sleep(rng.uniform(0.05, 0.5))
    aimed = k % 2 == 1
    if aimed:
        aim_at_a_write(folder, "kill%02d" % k, rng)
    rec.send_signal(signal.SIGKILL)
    rec.wait()
    out, _ = recorder_output(folder, "kill%02d" % k)
    lines = out.count("seq # = ")
    completed_at_least = ((lines - 1) * 100 + 1) // 1000 if lines else 0
    files = sample_files(folder)
    if not t.check(len(files) == 1, "kill %d: one sample file (%d)", k, len(files)):
        return None
    dat = files[0]
    size = os.path.getsize(dat)
    whole_blocks, rest = divmod(size, BLOCK)
    status, report = kivoinspect(tools, dat)
    t.check(report is not None and status in (0, 1), "kill %d: kivoinspect cannot read the file (status %d)", k, status)
    if report is None:
        return None
    # The slots: a run of the stream, from the first datagram kivorec took.
    first = None
    if report["slots"]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the file is cut: that is the point
            header = reader.read_recording(dat, blocks=(0, 1)).header[0]
        first = int(header[2]) | int(header[3]) << 8 | int(header[4]) << 16 | int(header[5]) << 24
        slots, problem = check_stream(reader, dat, first_index=first)
        t.check(not problem and slots == report["slots"], "kill %d: %s", k, problem)
    t.check(report["sequence_gaps"]["count"] == 0 and report["stale_slots"]["count"] == 0,
            "kill %d: kivoinspect finds gaps or repeats", k)
    problems = [p for p in report["problems"] if "partial block" not in p and "do not make a whole slot" not in p]
    t.check(not problems, "kill %d: kivoinspect: %s", k, problems)
    missing = completed_at_least - whole_blocks
    t.check(missing <= allowed_missing, "kill %d: %d blocks complete at the kill, %d whole blocks in the file", k,
            completed_at_least, whole_blocks)
    shutil.rmtree(os.path.dirname(folder))
    return {"slots": report["slots"], "whole_blocks": whole_blocks, "cut": rest != 0, "missing": max(missing, 0),
            "trailing": report["trailing_bytes"], "aimed": aimed}


def main():
    args = [a for a in sys.argv[1:] if a != "--disk"]
    on_disk = "--disk" in sys.argv
    tools = Tools(args[0])
    base = args[1]
    kills = int(args[2]) if len(args) > 2 else 50
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(base)
    ram = None
    if not on_disk and is_root():
        ram = Tmpfs(os.path.join(base, "tmpfs"), 256 << 20).__enter__()
        work = ram.path
    else:
        on_disk = True
        work = base
    # On a disk, one write held up leaves more blocks queued: only damage fails.
    allowed_missing = 1 if not on_disk else 1 << 30
    reader = import_kivo()
    seed = int(os.environ.get("KIVO_RANDOM_SEED", "9"))
    rng = random.Random(seed)
    t = Failures()
    ns = NetNs.make("kill9", fallback=True)
    sender = start_kivosim(tools, RECORDER_PORT, NCHANS, ["--rate", "10000", "--content", "pattern"], ns)
    results = []
    try:
        for k in range(kills):
            result = one_kill(t, tools, reader, ns, work, k, rng, allowed_missing)
            if result:
                results.append(result)
    finally:
        sender.send_signal(signal.SIGTERM)
        sender.wait(30)
        if ns:
            ns.close()
        if ram:
            ram.__exit__()
    cut = sum(1 for r in results if r["cut"])
    missing = [r["missing"] for r in results]
    print("%d kills (seed %d, %s, %d aimed at a block write): %d slots recorded in %d whole blocks; %d files end "
          "in a block cut by the kill (%d with a slot cut too); complete blocks missing per kill: %s" % (
              len(results), seed, "disk" if on_disk else "tmpfs", sum(1 for r in results if r["aimed"]),
              sum(r["slots"] for r in results), sum(r["whole_blocks"] for r in results), cut,
              sum(1 for r in results if r["trailing"]),
              ", ".join("%d: %d kills" % (m, missing.count(m)) for m in sorted(set(missing)))))
    t.check(len(results) == kills, "only %d of %d kills could be checked", len(results), kills)
    t.finish()


if __name__ == "__main__":
    main()
