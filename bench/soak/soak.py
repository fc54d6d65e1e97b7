#!/usr/bin/env python3
"""Soak: kivosim at a high paced rate into velto (in Octave) and into kivorec
at the same time, for a while, and then the proof that nothing was lost.

Two pairings, each run for the whole duration:
  A  velto 16 channels at 20,000 datagrams/s  +  kivorec 15 channels (the
     largest datagram) at 1,000 datagrams/s
  B  velto 15 channels at 1,000 datagrams/s   +  kivorec 16 channels at
     20,000 datagrams/s

A pairing passes when
  - every sequence number is in the files once and in order (the package
    kivo's reader over each file, guided by its metadata): velto's file and
    kivorec's hold all of it (velto's last block written by 'close');
  - velto('status') and both metadata files count exactly what kivosim says
    it sent (its summary line), with no sequence gap, kernel drop, write
    error or lost block;
  - the resident memory of Octave and of kivorec, sampled every few seconds,
    is flat after the settling time (default: the first minute).

Each front end runs in a network namespace of its own where the machine
allows (root), so that nothing else on the host reaches its port. The files
are removed after the check unless --keep is given.

    bench/soak/soak.py [--build build] [--minutes 10 | --seconds S]
                       [--settle S] [--pairings A,B] [--interval 5]
                       [--rss-tolerance-kib 2048] [--out DIR] [--keep]

CI runs `--seconds 60 --settle 20 --pairings A --interval 2` (60 s in all).
Exit status 0 when every check held, 1 otherwise, 77 when it cannot run.
"""
import argparse
import os
import shutil
import signal
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "reliability"))

from kivo_rig import (RECORDER_PORT, Failures, NetNs, Tools, VeltoSession, check_stream,  # noqa: E402
                      finish_kivosim, import_kivo, metadata_of, recorder_output, rss_kib, sample_files,
                      start_kivosim, start_listening_kivorec, wait_recorded)

VELTO_PORT = 47540
PAIRINGS = {
    "A": {"velto": (16, 20000), "kivorec": (15, 1000)},
    "B": {"velto": (15, 1000), "kivorec": (16, 20000)},
}


def flatness(samples, settle):
    """(growth in KiB after the settling time, samples used)."""
    later = [kib for t, kib in samples if t >= settle]
    if len(later) < 2:
        return None, len(later)
    return max(later) - min(later), len(later)


def run_pairing(t, tools, reader, name, seconds, settle, interval, tolerance, out, keep):
    plan = PAIRINGS[name]
    (v_chans, v_rate), (r_chans, r_rate) = plan["velto"], plan["kivorec"]
    base = os.path.join(out, "pairing-" + name)
    shutil.rmtree(base, ignore_errors=True)
    # Start on a quiet disk: the writeback of what a previous pairing (or
    # anything else) left in the page cache would otherwise land on this one.
    os.sync()
    velto_dir = os.path.join(base, "velto", "samples")
    rec_dir = os.path.join(base, "kivorec", "samples")
    os.makedirs(velto_dir)
    os.makedirs(rec_dir)
    v_ns = NetNs.make("soakv", fallback=True)
    r_ns = NetNs.make("soakr", fallback=True)
    print("pairing %s: velto %d channels at %d/s, kivorec %d channels at %d/s, %d s%s" % (
        name, v_chans, v_rate, r_chans, r_rate, seconds,
        "" if v_ns else " (no namespaces: host ports)"), flush=True)
    rec = session = None
    try:
        rec = start_listening_kivorec(t, tools, r_chans, rec_dir, r_ns, "kivorec", name)
        if rec is None:
            return
        session = VeltoSession(tools, VELTO_PORT, v_chans, velto_dir, ns=v_ns, reads_per_second=100,
                               log=os.path.join(base, "velto.log"))
        if not t.check(session.wait_open(), "%s: velto did not open: %s", name, session.output()[-2000:]):
            return
        octave_pid = session.process.pid
        v_sim = start_kivosim(tools, VELTO_PORT, v_chans, ["--rate", str(v_rate), "--duration", str(seconds),
                                                           "--content", "pattern"], v_ns,
                              log=os.path.join(base, "kivosim-velto.out"))
        r_sim = start_kivosim(tools, RECORDER_PORT, r_chans, ["--rate", str(r_rate), "--duration", str(seconds),
                                                              "--content", "pattern"], r_ns,
                              log=os.path.join(base, "kivosim-kivorec.out"))
        start = time.monotonic()
        rss = {"octave": [], "kivorec": []}
        while v_sim.poll() is None or r_sim.poll() is None:
            now = time.monotonic() - start
            rss["octave"].append((now, rss_kib(octave_pid)))
            rss["kivorec"].append((now, rss_kib(rec.pid)))
            time.sleep(interval)
        v_sent = finish_kivosim(v_sim, os.path.join(base, "kivosim-velto.out"))
        r_sent = finish_kivosim(r_sim, os.path.join(base, "kivosim-kivorec.out"))
        # The last datagrams are taken off the sockets before the ends.
        session.wait_datagrams(v_sent.sent)
        wait_recorded(rec_dir, r_sent.sent, "kivorec")
        status, final, close_text = session.stop()
        rec.send_signal(signal.SIGINT)
        rec_status = rec.wait(60)
        rec_out, rec_err = recorder_output(rec_dir, "kivorec")
        check_velto(t, tools, reader, name, v_sent, status, final, close_text, velto_dir, session)
        check_kivorec(t, reader, name, r_sent, rec_status, rec_err, rec_dir)
        for who, samples in rss.items():
            growth, used = flatness(samples, settle)
            peak = max(kib for _, kib in samples) if samples else 0
            print("%s: %s resident memory: %d samples, peak %.1f MiB; after %d s: %s over %d samples" % (
                name, who, len(samples), peak / 1024.0, settle,
                "%.2f MiB growth" % (growth / 1024.0) if growth is not None else "not enough samples", used),
                flush=True)
            t.check(growth is not None and growth <= tolerance, "%s: %s memory grew by %s KiB after %d s", name, who,
                    growth, settle)
        if not keep:
            shutil.rmtree(base, ignore_errors=True)
    finally:
        for process in (rec, session.process if session else None):
            if process and process.poll() is None:
                process.kill()
        for ns in (v_ns, r_ns):
            if ns:
                ns.close()


def check_velto(t, tools, reader, name, sent, status, final, close_text, folder, session):
    label = "%s velto" % name
    t.check(status == 0 and final is not None, "%s: Octave ended with %s: %s", label, status, session.output()[-2000:])
    if final is None:
        return
    t.check(sent.skipped == 0 and not sent.slipped, "%s: kivosim could not hold its rate", label)
    t.check(final["datagrams"] == sent.sent and final["bytes"] == sent.bytes,
            "%s: status counted %d datagrams (%d bytes), kivosim sent %d (%d bytes)", label, final["datagrams"],
            final["bytes"], sent.sent, sent.bytes)
    for counter in ("sequence_gaps", "kernel_drops", "write_errors", "failed_receives"):
        t.check(final[counter] == 0, "%s: %s = %d", label, counter, final[counter])
    # A writer that fell behind now and then is said, but loses nothing while
    # the socket's buffer holds what arrives meanwhile (no kernel drops).
    warnings = [line for line in close_text.splitlines()
                if "warning" in line and "the writer fell behind" not in line]
    t.check(not warnings, "%s: close warned: %s", label, warnings)
    dat = sample_files(folder)[0]
    meta = metadata_of(dat)
    blocks = sent.sent // 1000
    t.check(meta["ended"] == "closed" and meta["datagrams_received"] == sent.sent and meta["blocks_written"] == blocks
            and meta["slots_written"] == sent.sent and meta["datagrams_not_saved"] == 0
            and meta["sequence_gaps"] == 0 and meta["kernel_drops"] == 0 and meta["write_errors"] == 0,
            "%s: metadata %s", label, {k: meta[k] for k in ("ended", "datagrams_received", "blocks_written",
                                                            "slots_written", "datagrams_not_saved", "sequence_gaps",
                                                            "kernel_drops", "write_errors")})
    slots, problem = check_stream(reader, dat)
    t.check(not problem and slots == sent.sent, "%s: %d slots in order of %d: %s", label, slots, sent.sent, problem)
    print("%s: kivosim %r; status %d datagrams, %d gaps, %d blocks saved, %d writer stalls, %d kernel drops; file "
          "%d slots in order (the last %d in the partial block 'close' wrote)" % (
              label, sent, final["datagrams"], final["sequence_gaps"], final["blocks_saved"], final["writer_stalls"],
              final["kernel_drops"], slots, slots - 1000 * blocks), flush=True)


def check_kivorec(t, reader, name, sent, status, err, folder):
    label = "%s kivorec" % name
    t.check(sent.skipped == 0 and not sent.slipped, "%s: kivosim could not hold its rate", label)
    t.check(status == 0, "%s: status %d: %s", label, status, err[-2000:])
    dat = sample_files(folder)[0]
    meta = metadata_of(dat)
    t.check(meta["ended"] == "ctrl-c" and meta["datagrams_received"] == sent.sent and
            meta["slots_written"] == sent.sent and meta["sequence_gaps"] == 0 and meta["kernel_drops"] == 0 and
            meta["blocks_lost"] == 0 and meta["write_errors"] == 0,
            "%s: metadata %s, kivosim sent %d", label,
            {k: meta[k] for k in ("ended", "datagrams_received", "slots_written", "sequence_gaps", "kernel_drops",
                                  "blocks_lost", "write_errors")}, sent.sent)
    slots, problem = check_stream(reader, dat)
    t.check(not problem and slots == sent.sent, "%s: %d slots in order of %d: %s", label, slots, sent.sent, problem)
    print("%s: kivosim %r; metadata %d datagrams, %d slots written, %d gaps, %d blocks lost, %d kernel drops; file "
          "%d slots in order" % (label, sent, meta["datagrams_received"], meta["slots_written"], meta["sequence_gaps"],
                                 meta["blocks_lost"], meta["kernel_drops"], slots), flush=True)


def main():
    parser = argparse.ArgumentParser(description="Soak of velto and kivorec under kivosim's load.")
    parser.add_argument("--build", default=os.path.join(HERE, "..", "..", "build"))
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--seconds", type=float, help="overrides --minutes")
    parser.add_argument("--settle", type=float, default=60.0, help="seconds before memory must be flat")
    parser.add_argument("--pairings", default="A,B")
    parser.add_argument("--interval", type=float, default=5.0, help="seconds between memory samples")
    parser.add_argument("--rss-tolerance-kib", type=int, default=2048)
    parser.add_argument("--out", help="folder for the files (default: a temporary one)")
    parser.add_argument("--keep", action="store_true", help="keep the sample files")
    args = parser.parse_args()
    tools = Tools(args.build)
    reader = import_kivo()
    seconds = int(args.seconds if args.seconds else args.minutes * 60)
    out = args.out or tempfile.mkdtemp(prefix="kivo-soak-")
    t = Failures()
    for name in args.pairings.split(","):
        run_pairing(t, tools, reader, name.strip(), seconds, args.settle, args.interval, args.rss_tolerance_kib, out,
                    args.keep)
    if not args.out and not args.keep:
        shutil.rmtree(out, ignore_errors=True)
    t.finish()


if __name__ == "__main__":
    main()
