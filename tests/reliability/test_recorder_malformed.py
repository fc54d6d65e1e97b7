#!/usr/bin/env python3
"""kivosim's malformed datagrams into kivorec: empty, cut short, 64 bytes too
long and random samples, from one sender and then from two at once. In the
sanitizer build this is kivorec under AddressSanitizer and
UndefinedBehaviorSanitizer: no report may appear. The recorder takes every
datagram into a slot (an empty one too), cuts the long ones, and its
metadata and kivoinspect agree with what kivosim sent.

usage: test_recorder_malformed.py BUILD_DIR WORK_DIR
"""
import os
import shutil
import signal
import sys
import threading

from kivo_rig import (RECORDER_PORT, Failures, NetNs, Tools, datagram_size, kivoinspect, metadata_of,
                      recorder_output, run_kivosim, sample_files, start_listening_kivorec, wait_recorded)

MALFORMED = ["--content", "random", "--empty-every", "7", "--short-every", "11", "--long-every", "13",
             "--rate", "20000"]
SANITIZER_MARKS = ("AddressSanitizer", "UndefinedBehaviorSanitizer", "runtime error:", "LeakSanitizer")


def faults(count):
    empty = cut = too_long = 0
    for n in range(1, count + 1):
        if n % 7 == 0:
            empty += 1
        elif n % 11 == 0:
            cut += 1
        elif n % 13 == 0:
            too_long += 1
    return empty, cut, too_long


def record(t, tools, ns, work, label, nchans, senders, per_sender):
    folder = os.path.join(work, label, "samples")
    shutil.rmtree(os.path.dirname(folder), ignore_errors=True)
    os.makedirs(folder)
    rec = start_listening_kivorec(t, tools, nchans, folder, ns, label, label)
    if rec is None:
        return
    summaries = [None] * senders

    def send(k):
        summaries[k] = run_kivosim(tools, RECORDER_PORT, nchans, MALFORMED + [
            "--count", str(per_sender), "--seed", str(3 + k), "--start-seq", str(20000 * k)], ns)

    threads = [threading.Thread(target=send, args=(k,)) for k in range(senders)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    t.check(wait_recorded(folder, per_sender * senders, label), "%s: kivorec did not take every datagram", label)
    rec.send_signal(signal.SIGINT)
    status = rec.wait(60)
    out, err = recorder_output(folder, label)
    sent = sum(s.sent for s in summaries)
    sent_bytes = sum(s.bytes for s in summaries)
    empty, cut, too_long = (senders * n for n in faults(per_sender))
    size = datagram_size(nchans)
    t.check(status == 0, "%s: status %d: %s", label, status, err[-2000:])
    t.check(not any(mark in err for mark in SANITIZER_MARKS), "%s: sanitizer report: %s", label, err[-3000:])
    t.check(sent_bytes == (sent - empty - cut - too_long) * size + cut * (size // 2) + too_long * (size + 64),
            "%s: kivosim sent %d bytes", label, sent_bytes)
    dat = sample_files(folder)[0]
    meta = metadata_of(dat)
    # Every datagram, the empty ones too, takes a slot; the long ones are cut.
    t.check(meta["datagrams_received"] == sent and meta["slots_written"] == sent and meta["kernel_drops"] == 0,
            "%s: metadata: %d received, %d slots written of %d sent", label, meta["datagrams_received"],
            meta["slots_written"], sent)
    t.check(os.path.getsize(dat) == sent * size, "%s: file of %d bytes", label, os.path.getsize(dat))
    if senders == 1:
        # An empty slot carries no number: the next datagram breaks the run.
        t.check(meta["sequence_gaps"] == empty, "%s: %d sequence gaps, %d empty datagrams", label,
                meta["sequence_gaps"], empty)
    status_inspect, report = kivoinspect(tools, dat)
    t.check(report is not None and report["slots"] == sent, "%s: kivoinspect reads %s slots", label,
            report and report["slots"])
    print("%s: %d datagrams sent by %d sender(s) (%d empty, %d short, %d long); %d slots written, %d sequence "
          "gaps; status %d; kivoinspect: %d stale slots, %d gaps" % (
              label, sent, senders, empty, cut, too_long, meta["slots_written"], meta["sequence_gaps"], status,
              report["stale_slots"]["count"] if report else -1, report["sequence_gaps"]["count"] if report else -1))


def main():
    tools = Tools(sys.argv[1])
    work = sys.argv[2]
    os.makedirs(work, exist_ok=True)
    t = Failures()
    ns = NetNs.make("malformed", fallback=True)
    try:
        record(t, tools, ns, work, "one-sender-16", 16, 1, 5000)
        record(t, tools, ns, work, "two-senders-8", 8, 2, 3000)
    finally:
        if ns:
            ns.close()
    t.finish()


if __name__ == "__main__":
    main()
