#!/usr/bin/env python3
"""kivorec and its console: standard output into a pipe that nobody reads,
a reader that goes away, the terminal closing (SIGHUP), and a datagram sent
the moment the start is announced. Recording never waits for the console,
and every ending leaves whole files and complete metadata.

usage: test_recorder_console.py BUILD_DIR WORK_DIR
"""
import fcntl
import os
import signal
import subprocess
import sys
import threading

from kivo_rig import (RECORDER_PORT, Failures, Tools, check_stream, finish_kivosim, fresh, import_kivo,
                      in_own_netns, metadata_of, prefix_of, run_kivosim, sample_files, start_kivosim,
                      wait_listening, wait_until)

F_SETPIPE_SZ = 1031
NCHANS = 8
BLOCK = 1388 * 1000


def start_recorder(tools, folder, ns, stdout, shell=None):
    """kivorec in `folder` (through `sh -c shell` when given), standard error
    beside the folder."""
    err = open(os.path.join(os.path.dirname(folder), os.path.basename(folder) + ".err"), "w")
    command = ["sh", "-c", shell, tools.kivorec] if shell else [tools.kivorec, str(NCHANS)]
    return subprocess.Popen(prefix_of(ns) + command, cwd=folder, stdout=stdout, stderr=err)


def listening(t, rec, label):
    """True once kivorec listens; otherwise noted, and kivorec ended."""
    if t.check(wait_listening(rec), "%s: kivorec did not start listening", label):
        return True
    rec.kill()
    return False


def recorded_bytes(folder):
    files = sample_files(folder)
    return os.path.getsize(files[0]) if files else 0


def check_complete(t, reader, folder, label, sent, ended):
    dat = sample_files(folder)[0]
    slots, problem = check_stream(reader, dat)
    meta = metadata_of(dat)
    t.check(slots == sent and not problem, "%s: %d of %d datagrams in order %s", label, slots, sent, problem)
    t.check(meta["ended"] == ended and meta["slots_written"] == sent and meta["datagrams_received"] == sent,
            "%s: metadata %r", label, {k: meta[k] for k in ("ended", "slots_written", "datagrams_received")})


def read_all(fd, into):
    while True:
        chunk = os.read(fd, 1 << 16)
        if not chunk:
            return
        into.append(chunk)


def unread_pipe(t, tools, reader, ns, work):
    """Standard output into a 4 KiB pipe that nobody reads: all 300,000
    datagrams at 50,000/s reach the file; once someone reads, a progress line
    says how many were skipped; and Ctrl-C ends kivorec."""
    folder = fresh(os.path.join(work, "unread"))
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, F_SETPIPE_SZ, 4096)
    rec = start_recorder(tools, folder, ns, write_end)
    os.close(write_end)
    if not listening(t, rec, "unread pipe"):
        return
    sim = start_kivosim(tools, RECORDER_PORT, NCHANS, ["--count", "300000", "--rate", "50000"], ns)
    wait_until(lambda: recorded_bytes(folder) >= 100 * BLOCK, 60)
    shown = []
    reading = threading.Thread(target=read_all, args=(read_end, shown))
    reading.start()
    sent = finish_kivosim(sim).sent
    wait_until(lambda: recorded_bytes(folder) >= 300 * BLOCK, 60)
    rec.send_signal(signal.SIGINT)
    try:
        status = rec.wait(20)
    except subprocess.TimeoutExpired:
        rec.kill()
        status = None
    reading.join(30)
    os.close(read_end)
    t.check(status == 0, "unread pipe: status %r after Ctrl-C", status)
    check_complete(t, reader, folder, "unread pipe", sent, "ctrl-c")
    skipped = [l for l in b"".join(shown).decode().splitlines() if "skipped" in l]
    t.check(skipped, "unread pipe: no line says how many were skipped")
    print("unread pipe: %d sent, status %r; %s" % (sent, status, skipped[:1]))


def record_blocks_and_stop(t, tools, reader, ns, rec, folder, label, blocks):
    """Once kivorec listens: `blocks` blocks sent, Ctrl-C when they are in the
    file, status 0 and the file and metadata complete."""
    if not listening(t, rec, label):
        return
    sent = run_kivosim(tools, RECORDER_PORT, NCHANS, ["--count", str(blocks * 1000), "--rate", "20000"], ns).sent
    wait_until(lambda: recorded_bytes(folder) >= blocks * BLOCK, 60)
    rec.send_signal(signal.SIGINT)
    t.check(rec.wait(30) == 0, "%s: kivorec did not end with 0", label)
    check_complete(t, reader, folder, label, sent, "ctrl-c")
    print("%s: %d sent, status %r" % (label, sent, rec.returncode))


def reader_gone(t, tools, reader, ns, work):
    """The reader of standard output goes away after the first line: no
    SIGPIPE, the recording goes on, and the file and metadata are complete."""
    folder = fresh(os.path.join(work, "gone"))
    rec = start_recorder(tools, folder, ns, subprocess.PIPE)
    rec.stdout.readline()
    rec.stdout.close()
    record_blocks_and_stop(t, tools, reader, ns, rec, folder, "reader gone", 5)


def closed_stdout(t, tools, reader, ns, work):
    """Started with standard output closed: the console's lines go nowhere,
    not into the sample file that takes the free descriptor."""
    folder = fresh(os.path.join(work, "closed"))
    rec = start_recorder(tools, folder, ns, None, 'exec "$0" 8 >&-')
    record_blocks_and_stop(t, tools, reader, ns, rec, folder, "closed stdout", 3)


def hang_up(t, tools, reader, ns, work):
    """SIGHUP while the device sends: whole blocks, metadata `signal`."""
    folder = fresh(os.path.join(work, "hangup"))
    rec = start_recorder(tools, folder, ns, subprocess.DEVNULL)
    if not listening(t, rec, "SIGHUP"):
        return
    sim = start_kivosim(tools, RECORDER_PORT, NCHANS, ["--rate", "10000", "--duration", "60"], ns)
    wait_until(lambda: recorded_bytes(folder) >= 2 * BLOCK, 60)
    rec.send_signal(signal.SIGHUP)
    status = rec.wait(30)
    sim.send_signal(signal.SIGINT)
    sim.wait(30)
    dat = sample_files(folder)[0]
    slots, problem = check_stream(reader, dat)
    meta = metadata_of(dat)
    t.check(status == 0, "SIGHUP: status %r", status)
    t.check(os.path.getsize(dat) % BLOCK == 0 and slots >= 2000 and not problem,
            "SIGHUP: %d bytes, %d slots %s", os.path.getsize(dat), slots, problem)
    t.check(meta["ended"] == "signal" and meta["slots_written"] == slots and
            meta["datagrams_received"] == slots + meta["datagrams_not_saved"],
            "SIGHUP: metadata %r", {k: meta[k] for k in ("ended", "slots_written", "datagrams_received",
                                                        "datagrams_not_saved")})
    print("SIGHUP: status %r, %d slots, %d received, %d not saved" % (status, slots, meta["datagrams_received"],
                                                                      meta["datagrams_not_saved"]))


def announced_start(t, tools, ns, work):
    """A datagram sent as soon as "Data will be saved" is printed is recorded."""
    folder = fresh(os.path.join(work, "start"))
    rec = start_recorder(tools, folder, ns, subprocess.PIPE)
    lines = []
    while not lines or not lines[-1].startswith(b"Data will be saved"):
        lines.append(rec.stdout.readline())
        if not lines[-1]:
            break
    run_kivosim(tools, RECORDER_PORT, NCHANS, ["--count", "1"], ns)
    rec.send_signal(signal.SIGINT)
    rec.communicate(timeout=30)
    meta = metadata_of(sample_files(folder)[0])
    t.check(meta["datagrams_received"] == 1 and meta["slots_written"] == 1,
            "start: %d datagrams received, %d saved", meta["datagrams_received"], meta["slots_written"])
    print("start: %d datagram received, %d saved" % (meta["datagrams_received"], meta["slots_written"]))


def main():
    build, work = sys.argv[1], sys.argv[2]
    tools = Tools(build)
    reader = import_kivo()
    fresh(work)
    t = Failures()

    def run(ns):
        for case in (unread_pipe, reader_gone, closed_stdout, hang_up):
            case(t, tools, reader, ns, work)
        announced_start(t, tools, ns, work)
    in_own_netns("console", run)
    t.finish()


if __name__ == "__main__":
    main()
