#!/usr/bin/env python3
"""Against what a user would use instead: the highest paced rate at which each
receiver keeps every datagram of 16 channels, all on one sender (kivosim) and
one ladder of rates in one run, against the bare receive ceiling of the same
run and beside the disk's own sequential write rate.

The receivers: the bare receive loop (bench/recorder's bare_receive: the
ceiling), velto without and with the band filter (in Octave), the Python
package kivo, kivorec; and without this project: tcpdump writing a pcap file,
a plain Python socket loop writing a file, and Octave's udpport
(instrument-control) in a read-and-write loop. A receiver keeps up at a rate
when its file holds every datagram kivosim sent, in order (velto's filtered
file too). The climbing, the second try at a rate and the tries in which
kivosim cannot hold the rate are those of bench/recorder/run_bench.py, except
that kivosim's limit beside one receiver ends the ladder for that receiver
alone (marked >=: its rate is a lower bound).

    python3 bench/peers/peers_bench.py --build build [--seconds 1]
        [--rates 5000,10000,...] [--only bare,kivorec,...] [--dir DIR]

Run it in a network namespace of its own (all receivers take port 55000,
kivorec's): unshare -n bash -c 'ip link set lo up; python3 bench/peers/...'.
"""
import argparse
import os
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "recorder"))
import run_bench as ladder  # noqa: E402
from run_bench import PORT, datagram_size, in_order, send, wait_file_quiet  # noqa: E402
from kivo.recording import read_recording  # noqa: E402

NCHANS = 16
# Any stable band-pass does: the filter's cost does not depend on its coefficients.
FILTER = "b = [0.0675 0 -0.135 0 0.0675]; a = [1 -2.94 3.39 -1.84 0.41];"
# A receiver that stops getting datagrams for this long after the sender ends has all it will get.
SETTLE_SECONDS = 1.0
TCPDUMP_BUFFER_SECONDS = 2.0
OCTAVE = ["octave-cli", "--no-gui", "--norc", "--quiet", "--eval"]


def run_receiver(cmd, tools, nchans, rate, count, env=None):
    """Starts a receiver that prints "listening" once its socket is bound
    and ends after a line on its standard input (sent once kivosim is done)
    and what it then still gets; returns (kivosim's rate, its output)."""
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, env=env)
    wait_listening(proc, cmd[0])
    reached = send(tools, nchans, rate, count)
    out, _ = proc.communicate("\n", timeout=120)
    return reached, out


def wait_listening(proc, name):
    """Reads the receiver's output up to its line "listening"."""
    said = ""
    for line in proc.stdout:
        if "listening" in line:
            return
        said += line
    proc.kill()
    sys.exit("%s did not start: %s" % (name, said))


def stamped_complete(path, count):
    """(velto's or kivo's sample file holds the datagrams 0 .. count-1, in
    order; how many it holds)."""
    rec = read_recording(path)
    numbers = (np.arange(count) & 0xFFFF).astype(np.uint16)
    whole = rec.slots == count and not rec.stale.any() and np.array_equal(rec.sequence_no, numbers)
    return whole, rec.slots


def sample_files(folder, kind):
    return [os.path.join(folder, n) for n in os.listdir(folder) if n.endswith("_kivo_%s.dat" % kind)]


def velto_trial(filtered):
    def trial(tools, nchans, rate, count, workdir):
        script = ("addpath('%s'); %s velto('open', %d, %d, '%s'%s); printf('listening\\n'); fflush(stdout); "
                  "fgetl(stdin); t = tic(); "
                  "while velto('status').datagrams < %d && toc(t) < %g, pause(0.01); end; velto('close');"
                  % (tools["build"], FILTER if filtered else "", PORT, nchans, workdir, ", b, a" if filtered else "",
                     count, SETTLE_SECONDS))
        reached, out = run_receiver(OCTAVE + [script], tools, nchans, rate, count)
        kinds = ("samples", "filtered_samples") if filtered else ("samples",)
        results = [stamped_complete(sample_files(workdir, kind)[0], count) for kind in kinds]
        saved = min(n for _, n in results)
        return all(ok for ok, _ in results), reached, "%d of %d saved" % (saved, count), saved > count
    return trial


KIVO_RECEIVER = """
import sys, time, kivo
port, nchans, folder, count, settle = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), float(sys.argv[5])
with kivo.Acquisition(port, nchans, folder) as acq:
    print("listening", flush=True)
    sys.stdin.readline()
    deadline = time.monotonic() + settle
    while acq.status()["datagrams"] < count and time.monotonic() < deadline:
        time.sleep(0.01)
"""


def trial_kivo(tools, nchans, rate, count, workdir):
    env = dict(os.environ, PYTHONPATH=os.path.join(tools["build"], "python"))
    cmd = [sys.executable, "-c", KIVO_RECEIVER, str(PORT), str(nchans), workdir, str(count), str(SETTLE_SECONDS)]
    reached, out = run_receiver(cmd, tools, nchans, rate, count, env)
    ok, saved = stamped_complete(sample_files(workdir, "samples")[0], count)
    return ok, reached, "%d of %d saved" % (saved, count), saved > count


# What a user writes without this project: a socket, a loop, a file; the
# system's receive buffer as it comes.
SOCKET_LOOP = """
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("", int(sys.argv[1])))
print("listening", flush=True)
with open(sys.argv[2], "wb") as f:
    f.write(s.recv(65536))
    s.settimeout(float(sys.argv[3]))
    try:
        while True:
            f.write(s.recv(65536))
    except socket.timeout:
        pass
"""


def check_plain_file(path, nchans, count):
    with open(path, "rb") as f:
        data = f.read()
    saved = len(data) // datagram_size(nchans)
    return in_order(data, datagram_size(nchans), count), "%d of %d saved" % (saved, count), saved > count


def trial_python_socket(tools, nchans, rate, count, workdir):
    path = os.path.join(workdir, "socket.dat")
    proc = subprocess.Popen([sys.executable, "-c", SOCKET_LOOP, str(PORT), path, str(SETTLE_SECONDS / 2)],
                            stdout=subprocess.PIPE, text=True)
    wait_listening(proc, "the Python socket loop")
    reached = send(tools, nchans, rate, count)
    proc.wait(timeout=60)
    ok, note, extra = check_plain_file(path, nchans, count)
    return ok, reached, note, extra


def trial_udpport(tools, nchans, rate, count, workdir):
    path = os.path.join(workdir, "udpport.dat")
    size = datagram_size(nchans)
    script = ("pkg load instrument-control; u = udpport('LocalPort', %d, 'Timeout', %g); fid = fopen('%s', 'w'); "
              "printf('listening\\n'); fflush(stdout); got = 0; t = tic(); "
              "while true, d = read(u, %d, 'uint8'); "
              "if isempty(d), if got > 0 || toc(t) > 60, break; end; else fwrite(fid, d, 'uint8'); got += numel(d); end; "
              "end; fclose(fid); clear u;" % (PORT, SETTLE_SECONDS / 2, path, size))
    proc = subprocess.Popen(OCTAVE + [script], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    wait_listening(proc, "udpport")
    reached = send(tools, nchans, rate, count)
    proc.communicate(timeout=120)
    ok, note, extra = check_plain_file(path, nchans, count)
    return ok, reached, note, extra


def pcap_payloads(path, size):
    """The UDP payloads of `size` bytes in a pcap file of the loopback
    interface, in the order captured."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        return []
    order = "<" if data[:4] == b"\xd4\xc3\xb2\xa1" else ">"
    link = struct.unpack(order + "I", data[20:24])[0]
    skip = {0: 4, 1: 14, 113: 16}.get(link, 14) + 20 + 8  # link header, IPv4, UDP
    payloads, at = [], 24
    while at + 16 <= len(data):
        length = struct.unpack(order + "I", data[at + 8:at + 12])[0]
        packet = data[at + 16:at + 16 + length]
        if len(packet) == skip + size:
            payloads.append(packet[skip:])
        at += 16 + length
    return payloads


def trial_tcpdump(tools, nchans, rate, count, workdir):
    path = os.path.join(workdir, "capture.pcap")
    # The datagrams need a socket to go to, or the system refuses them; this
    # one never reads and keeps only what a small buffer holds.
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sink.bind(("", PORT))
    try:
        proc = subprocess.Popen(["tcpdump", "-i", "lo", "-w", path, "udp", "dst", "port", str(PORT)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if "listening" not in proc.stderr.readline():
            proc.kill()
            sys.exit("tcpdump did not start")
        reached = send(tools, nchans, rate, count)
        # The system hands tcpdump a part-filled buffer only after its timeout
        # (1 s); what it still holds at Ctrl-C is not written.
        time.sleep(TCPDUMP_BUFFER_SECONDS)
        wait_file_quiet(path)
        proc.send_signal(signal.SIGINT)
        summary = proc.communicate(timeout=60)[1]
    finally:
        sink.close()
    size = datagram_size(nchans)
    data = b"".join(pcap_payloads(path, size))
    saved = len(data) // size
    dropped = [line for line in summary.splitlines() if "dropped by kernel" in line]
    note = "%d of %d saved%s" % (saved, count, "; " + dropped[0] if dropped else "")
    return in_order(data, size, count), reached, note, saved > count


def available(name):
    """None when the receiver can run here, else why not."""
    if name in ("velto", "velto+filter", "udpport") and not shutil.which("octave-cli"):
        return "octave-cli not found"
    if name == "udpport":
        probe = subprocess.run(OCTAVE + ["pkg load instrument-control"], capture_output=True, text=True)
        if probe.returncode != 0:
            return "Octave's instrument-control is not installed (Debian: octave-instrument-control)"
    if name == "tcpdump" and not shutil.which("tcpdump"):
        return "tcpdump is not installed (Debian: tcpdump)"
    return None


RECEIVERS = {"bare": ladder.trial_bare, "velto": velto_trial(False), "velto+filter": velto_trial(True),
             "kivo": trial_kivo, "kivorec": ladder.trial_kivorec, "tcpdump": trial_tcpdump,
             "python socket": trial_python_socket, "udpport": trial_udpport}


def disk_rate(nbytes, workdir):
    """The disk's own sequential write rate in bytes/s: dd of `nbytes` in 1 MiB
    writes, flushed to the disk before it ends."""
    ladder.settle()
    path = os.path.join(workdir, "dd.dat")
    blocks = max(16, nbytes >> 20)
    start = time.monotonic()
    subprocess.run(["dd", "if=/dev/zero", "of=" + path, "bs=1M", "count=%d" % blocks, "conv=fdatasync"],
                   check=True, capture_output=True)
    elapsed = time.monotonic() - start
    os.remove(path)
    return (blocks << 20) / elapsed


def ratio(rate, rate_open, ceiling, ceiling_open):
    """rate / ceiling, marked where either is only a lower bound."""
    if not ceiling or (rate_open and ceiling_open):
        return "-"
    return (">=" if rate_open else "<=" if ceiling_open else "") + "%.2f" % (rate / ceiling)


def table(best, open_ended, disk, seconds):
    size = datagram_size(NCHANS)
    ceiling = best.get("bare", 0)
    lines = ["highest rate with every datagram kept, %d channels (%d-byte datagrams), %g s a trial:"
             % (NCHANS, size, seconds),
             "  %-14s %12s %10s %9s" % ("receiver", "datagrams/s", "MB/s", "/ceiling")]
    for name, rate in best.items():
        if isinstance(rate, str):
            lines.append("  %-14s %12s  (%s)" % (name, "skipped", rate))
            continue
        bound = ">=" if name in open_ended else ""
        lines.append("  %-14s %12s %10.1f %9s" % (name, bound + str(rate), rate * size / 1e6,
                                                    ratio(rate, name in open_ended, ceiling,
                                                          "bare" in open_ended)))
    lines.append("  %-14s %12.0f %10.1f %9s  (dd of the top trial's size, flushed)"
                 % ("disk", disk / size, disk / 1e6, "-"))
    lines.append(">=: still keeping up when the ladder ended for it (its top, or the rate kivosim could hold "
                 "beside it): a lower bound; a ratio of two lower bounds is not known (-).")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=1.0)
    parser.add_argument("--rates", default="1000,2000,5000,10000,20000,40000,60000,80000,100000,120000,160000")
    parser.add_argument("--only", help="the receivers to run, separated by commas: " + ", ".join(RECEIVERS))
    parser.add_argument("--dir", default=None, help="where the files are written (default: a temporary folder "
                        "in the build folder, on the build's disk)")
    args = parser.parse_args()
    names = args.only.split(",") if args.only else list(RECEIVERS)
    unknown = [n for n in names if n not in RECEIVERS]
    if unknown:
        parser.error("unknown receivers: %s" % ", ".join(unknown))
    build = os.path.abspath(args.build)
    tools = {"build": build, "kivosim": os.path.join(build, "tools/kivosim/kivosim"),
             "kivorec": os.path.join(build, "recorder/kivorec"),
             "bare": os.path.join(build, "bench/recorder/bare_receive")}
    rates = [int(r) for r in args.rates.split(",")]
    why_not = {n: available(n) for n in names}
    skipped = {n: why for n, why in why_not.items() if why}
    for name, why in skipped.items():
        print("  %s: skipped: %s" % (name, why), flush=True)
    trials = {n: RECEIVERS[n] for n in names if n not in skipped}
    workdir = tempfile.mkdtemp(prefix="peers-bench-", dir=args.dir or build)
    try:
        disk = disk_rate(int(max(rates) * args.seconds) * datagram_size(NCHANS), workdir)
        open_ended = set()
        best = ladder.climb(tools, NCHANS, rates, args.seconds, workdir, trials, open_ended,
                            sender_ends_ladder=False)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    best.update(skipped)
    print()
    print(table({n: best[n] for n in names}, open_ended, disk, args.seconds))
    print("command: python3 %s" % shlex.join(sys.argv))


if __name__ == "__main__":
    main()
