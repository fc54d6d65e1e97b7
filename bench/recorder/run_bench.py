#!/usr/bin/env python3
"""Recorder benchmark: the highest paced rate at which kivorec saves every
datagram, against the bare receive ceiling of the same run (bare_receive: the
recorder's socket and receive call, discarding) and against
`socat -u UDP-RECV:55000 OPEN:file`.

All three climb one ladder of rates, interleaved, so that the load of the
machine weighs on each alike. A program passes a rate when every datagram that
kivosim sent arrives in order (for the two that write, in the file); it gets a
second try at a rate before it stops climbing. A try in which kivosim itself
cannot hold the rate does not count; two such tries end the ladder for
everyone, for the sender is then the limit.

    bench/recorder/run_bench.py --build build-recorder [--channels 8 16]
        [--seconds 8] [--rates 25000,50000,...] [--dir DIR]
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
from kivo.recording import SLOTS_PER_BLOCK, geometry  # noqa: E402

PORT = 55000
QUIET_SECONDS = 0.5


def datagram_size(nchans):
    return geometry(nchans)[1]


def port_bound(port=PORT):
    wanted = ":%04X" % port
    with open("/proc/net/udp") as table:
        next(table)
        return any(line.split()[1].endswith(wanted) for line in table)


def wait_until(predicate, limit=30.0, step=0.01):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return False


def settle():
    """Lets the disk finish with the previous trial: socat's file, written
    without sync, would otherwise be flushed in the middle of the next trial."""
    os.sync()
    time.sleep(1.0)


def wait_port_free():
    if not wait_until(lambda: not port_bound(), limit=300.0):
        sys.exit("port %d stays busy" % PORT)


def send(tools, nchans, rate, count):
    """Runs kivosim; returns the rate it reached."""
    result = subprocess.run(
        [tools["kivosim"], "--host", "127.0.0.1", "--port", str(PORT), "--channels", str(nchans),
         "--rate", str(rate), "--count", str(count), "--content", "pattern", "--quiet"],
        capture_output=True, text=True, check=True)
    reached = re.search(r"in [\d.]+ s: ([\d.]+) datagrams/s", result.stdout)
    return float(reached.group(1)) if reached else 0.0


def in_order(data, size, count):
    """True when `data` holds `count` slots with sequence numbers 0, 1, 2, ..."""
    if len(data) != size * count:
        return False
    low, high = data[10::size], data[11::size]
    expected_low = bytes(i & 0xFF for i in range(256)) * (count // 256 + 1)
    expected_high = bytes((i >> 8) & 0xFF for i in range(65536)) * (count // 65536 + 1)
    return low == expected_low[:count] and high == expected_high[:count]


def wait_file_quiet(path):
    last = -1
    while True:
        size = os.path.getsize(path)
        if size == last:
            return size
        last = size
        time.sleep(QUIET_SECONDS)


def trial_bare(tools, nchans, rate, count, workdir):
    proc = subprocess.Popen([tools["bare"], str(datagram_size(nchans))],
                            stdout=subprocess.PIPE, text=True)
    proc.stdout.readline()  # "listening"
    reached = send(tools, nchans, rate, count)
    out = proc.communicate(timeout=60)[0]
    got = int(re.search(r"received (\d+)", out).group(1))
    return got == count, reached, "%d of %d" % (got, count), got > count


def trial_kivorec(tools, nchans, rate, count, workdir):
    out_path = os.path.join(workdir, "kivorec.out")
    err_path = os.path.join(workdir, "kivorec.err")
    recdir = os.path.join(workdir, "rec")
    os.makedirs(recdir)
    with open(out_path, "w") as out, open(err_path, "w") as err:
        proc = subprocess.Popen([tools["kivorec"], str(nchans)], cwd=recdir, stdout=out, stderr=err)
    if not wait_until(port_bound):
        proc.kill()
        sys.exit("kivorec did not bind")
    reached = send(tools, nchans, rate, count)
    last_line = "seq # = %d\n" % ((count - 100) & 0xFFFF)
    wait_until(lambda: open(out_path).read().endswith(last_line), limit=10.0)
    proc.send_signal(signal.SIGINT)
    status = proc.wait(timeout=60)
    name = [n for n in os.listdir(recdir) if n.endswith("_kivo_samples.dat")][0]
    with open(os.path.join(recdir, name), "rb") as f:
        data = f.read()
    size = datagram_size(nchans)
    ok = status == 0 and in_order(data, size, count)
    saved = len(data) // size
    note = "%d of %d saved" % (saved, count)
    losses = [l for l in open(err_path).read().splitlines() if "not saved" in l or "dropped" in l]
    if losses:
        note += "; " + losses[-1]
    shutil.rmtree(recdir)
    return ok, reached, note, saved > count


def trial_socat(tools, nchans, rate, count, workdir, options=""):
    path = os.path.join(workdir, "socat.dat")
    open(path, "wb").close()
    proc = subprocess.Popen(["socat", "-u", "UDP-RECV:%d%s" % (PORT, options), "OPEN:" + path])
    if not wait_until(port_bound):
        proc.kill()
        sys.exit("socat did not bind")
    reached = send(tools, nchans, rate, count)
    wait_file_quiet(path)
    proc.terminate()
    proc.wait(timeout=60)
    with open(path, "rb") as f:
        data = f.read()
    os.remove(path)
    size = datagram_size(nchans)
    saved = len(data) // size
    return in_order(data, size, count), reached, "%d of %d saved" % (saved, count), saved > count


def trial_socat_buffer(tools, nchans, rate, count, workdir):
    """socat with the receive buffer that kivorec asks for."""
    return trial_socat(tools, nchans, rate, count, workdir, ",rcvbuf=%d" % (8 << 20))


TRIALS = {"bare": trial_bare, "kivorec": trial_kivorec, "socat": trial_socat,
          "socat+buf": trial_socat_buffer}


def try_rate(tools, name, nchans, rate, count, workdir, trials=TRIALS):
    """True when `name` saves everything in one of two tries at `rate`, False
    when it loses datagrams twice; None when kivosim twice fails to hold the
    rate. Such tries do not count unless datagrams were lost in them (lost at
    a lower rate, they are lost at this one too), nor do tries that got more
    datagrams than kivosim sent: some other program on the machine sent to
    the port."""
    lost = slow = foreign = 0
    while lost < 2:
        wait_port_free()
        settle()
        tmp = tempfile.mkdtemp(dir=workdir)
        ok, reached, note, extra = trials[name](tools, nchans, rate, count, tmp)
        shutil.rmtree(tmp)
        held = reached >= 0.98 * rate
        verdict = "MORE" if extra else "LOST" if not ok else "SLOW" if not held else "ok"
        print("  %2d ch %7d/s %-13s: %-4s (kivosim reached %.0f/s; %s)"
              % (nchans, rate, name, verdict, reached, note), flush=True)
        if extra:
            foreign += 1
            if foreign == 3:
                sys.exit("another program keeps sending to port %d" % PORT)
        elif not ok:
            lost += 1
        elif not held:
            slow += 1
            if slow == 2:
                return None
        else:
            return True
    return False


def disk_ceiling(nchans, seconds, workdir):
    """What the disk takes in blocks written through, one write each:
    dd oflag=dsync with the recorder's block size, in datagrams/s."""
    size = datagram_size(nchans)
    blocks = max(50, int(150 * seconds))
    settle()
    path = os.path.join(workdir, "dd.dat")
    start = time.monotonic()
    subprocess.run(["dd", "if=/dev/zero", "of=" + path, "bs=%d" % (size * SLOTS_PER_BLOCK),
                    "count=%d" % blocks, "oflag=dsync"], check=True, capture_output=True)
    elapsed = time.monotonic() - start
    os.remove(path)
    rate = blocks * SLOTS_PER_BLOCK / elapsed
    print("  %2d ch disk: dd oflag=dsync bs=%d: %.0f MB/s = %.0f datagrams/s"
          % (nchans, size * SLOTS_PER_BLOCK, rate * size / 1e6, rate), flush=True)
    return rate


def climb(tools, nchans, rates, seconds, workdir, trials=TRIALS, open_ended=None, sender_ends_ladder=True):
    """The highest rate of `rates` at which each of `trials` (name: trial)
    saves every datagram; bench/peers climbs with its own receivers. The
    names still climbing when the ladder ends for them (its top, or kivosim's
    limit) go into the set `open_ended`: their rate is a lower bound. When
    kivosim cannot hold a rate beside one receiver, the ladder ends for
    everyone (`sender_ends_ladder`), else for that receiver alone: a receiver
    that takes much of the machine slows a sender on the same machine."""
    best = {name: 0 for name in trials}
    climbing = set(trials)
    ended = set()
    for rate in rates:
        count = max(SLOTS_PER_BLOCK, int(rate * seconds) // SLOTS_PER_BLOCK * SLOTS_PER_BLOCK)
        for name in [n for n in trials if n in climbing]:
            outcome = try_rate(tools, name, nchans, rate, count, workdir, trials)
            if outcome is None:
                print("  kivosim cannot hold %d/s here: the ladder ends%s"
                      % (rate, "" if sender_ends_ladder else " for " + name))
                if sender_ends_ladder:
                    ended |= climbing
                    climbing.clear()
                    break
                ended.add(name)
                climbing.discard(name)
            elif outcome:
                best[name] = rate
            else:
                climbing.discard(name)
        if not climbing:
            break
    if open_ended is not None:
        open_ended.update(climbing | ended)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--channels", type=int, nargs="+", default=[8, 16])
    parser.add_argument("--seconds", type=float, default=8.0)
    parser.add_argument("--rates", default="5000,10000,25000,50000,75000,100000,112500,125000,"
                                           "137500,150000,162500,175000,200000,225000,250000")
    parser.add_argument("--dir", default=None, help="where the files are written (default: a "
                        "temporary folder in the build folder, on the build's disk)")
    args = parser.parse_args()
    tools = {
        "kivosim": os.path.join(args.build, "tools/kivosim/kivosim"),
        "kivorec": os.path.join(args.build, "recorder/kivorec"),
        "bare": os.path.join(args.build, "bench/recorder/bare_receive"),
    }
    tools = {k: os.path.abspath(v) for k, v in tools.items()}
    rates = [int(r) for r in args.rates.split(",")]
    workdir = tempfile.mkdtemp(prefix="recorder-bench-", dir=args.dir or args.build)
    results = {}
    try:
        for nchans in args.channels:
            print("%d channels, %d-byte datagrams, %.0f s a trial:"
                  % (nchans, datagram_size(nchans), args.seconds), flush=True)
            disk = disk_ceiling(nchans, args.seconds, workdir)
            results[nchans] = climb(tools, nchans, rates, args.seconds, workdir)
            results[nchans]["disk"] = disk
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    def ratio(a, b):
        return "%.2f" % (a / b) if b else "-"

    print("\nhighest rate with every datagram saved (datagrams/s); socat+buf is socat given")
    print("the receive buffer that kivorec asks for:")
    print("  ch   ceiling   kivorec     socat socat+buf    disk   kivorec/ceiling  /socat"
          "  /socat+buf")
    for nchans, best in results.items():
        ceiling, rec = best["bare"], best["kivorec"]
        soc, socb, disk = best["socat"], best["socat+buf"], best["disk"]
        print("  %2d  %8d  %8d  %8d  %8d  %6.0f   %15s  %6s  %10s   (kivorec writes %.0f MB/s)"
              % (nchans, ceiling, rec, soc, socb, disk, ratio(rec, ceiling), ratio(rec, soc),
                 ratio(rec, socb), rec * datagram_size(nchans) / 1e6))
    print("ceiling: bare_receive gets every datagram (the ladder's top, or kivosim's limit, "
          "bounds it);\ndisk: dd oflag=dsync with the block size, the most the disk takes "
          "written through.")


if __name__ == "__main__":
    main()
