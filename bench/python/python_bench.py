"""The Python acquisition's costs and limits, with the core's own figures from
the same run as the baseline:

  - read() calls per second that return a 16-channel datagram into numpy
    (bursts from a full backlog: about 1005 reads each), and empty read()s;
  - the highest paced rate (16 channels) at which a Python acquisition, with
    a Python thread polling read(), saves every datagram, against the same
    ladder of the acquisition engine alone (bench/acquisition's loss_free_rate);
  - read_samples() every 50 ms at 20,000 datagrams/s of 16 channels: the
    process's CPU time (every thread) per second of signal, against the same
    acquisition without a caller;
  - the latency from a datagram's receive stamp to the return of
    read_samples(timeout) and read(timeout) at 1,000 datagrams/s (woken on
    arrival), against a loop that calls read_samples() without waiting.

usage: PYTHONPATH=BUILD/python python3 python_bench.py --build BUILD [--seconds S] [--dir FOLDER]
           [--only reads,loss,samples,latency] [--repeat N]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import kivo

PORT = 47980
LADDER = (5000, 10000, 20000, 40000, 60000, 80000, 100000, 120000, 150000, 200000, 250000, 300000)


def sim(kivosim, nchans, *extra):
    out = subprocess.run([kivosim, "--port", str(PORT), "--channels", str(nchans), "--quiet",
                          "--content", "pattern"] + [str(e) for e in extra],
                         capture_output=True, text=True, check=True)
    return int(out.stdout.split()[2])


def wait_until(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.005)
    return condition()


def read_rates(kivosim, folder, bursts=50):
    """(datagram reads per second, empty reads per second)."""
    with kivo.Acquisition(PORT, 16, folder) as acq:
        reads, spent = 0, 0.0
        for _ in range(bursts):
            total = acq.status()["datagrams"] + 2000
            sim(kivosim, 16, "--count", 2000, "--rate", 0)
            wait_until(lambda: acq.status()["datagrams"] >= total)
            read = acq.read
            start = time.perf_counter()
            n = 0
            while read() is not None:
                n += 1
            spent += time.perf_counter() - start
            reads += n
        start = time.perf_counter()
        for _ in range(100000):
            acq.read()
        empty = 100000 / (time.perf_counter() - start)
    return reads / spent, empty


def python_keeps_up(kivosim, rate, seconds, folder):
    with kivo.Acquisition(PORT, 16, folder) as acq:
        stop = threading.Event()

        def poll():
            while not stop.is_set():
                acq.read(timeout=0.01)
        poller = threading.Thread(target=poll)
        poller.start()
        sent = sim(kivosim, 16, "--rate", rate, "--duration", seconds)
        wait_until(lambda: acq.status()["datagrams"] >= sent)
        wait_until(lambda: acq.status()["blocks_saved"] >= sent // 1000)
        stop.set()
        poller.join()
        s = acq.status()
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    return s["datagrams"] == sent and s["kernel_drops"] == 0 and s["blocks_saved"] == sent // 1000


def delivery_cpu(kivosim, folder, seconds, take):
    """CPU seconds of the process per second of signal while kivosim sends
    20,000 datagrams/s of 16 channels, with or without read_samples() every
    50 ms; and the datagrams taken."""
    with kivo.Acquisition(PORT, 16, folder) as acq:
        sender = subprocess.Popen([kivosim, "--port", str(PORT), "--channels", "16", "--quiet", "--content",
                                   "pattern", "--rate", "20000", "--duration", str(seconds)],
                                  stdout=subprocess.DEVNULL)
        cpu, taken = time.process_time(), 0
        while sender.poll() is None:
            if take:
                taken += len(acq.read_samples().sequence_no)
            time.sleep(0.05)
        cpu = time.process_time() - cpu
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    return cpu / seconds, taken


def latencies(kivosim, folder, seconds, how):
    """Microseconds from each datagram's receive stamp to the return of the
    call that hands it over, at 1,000 datagrams/s of 16 channels."""
    with kivo.Acquisition(PORT, 16, folder) as acq:
        sender = subprocess.Popen([kivosim, "--port", str(PORT), "--channels", "16", "--quiet", "--rate", "1000",
                                   "--duration", str(seconds)], stdout=subprocess.DEVNULL)
        got = []
        while sender.poll() is None:
            if how == "read":
                d = acq.read(timeout=0.5)
                now = time.time()
                if d is not None:
                    got.append(now - d.stamp)
            else:
                s = acq.read_samples(timeout=0.5 if how == "read_samples" else 0.0)
                now = time.time()
                if len(s.stamps):
                    got.append(now - s.stamps[-1])
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    got = sorted(got[100:])  # past the start
    return 1e6 * got[len(got) // 2], 1e6 * got[int(len(got) * 0.99)], len(got)


def median(values):
    return sorted(values)[len(values) // 2]


def highest_loss_free(keeps_up):
    best = 0
    for rate in LADDER:
        if not keeps_up(rate) or not keeps_up(rate):
            break
        best = rate
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    parser.add_argument("--only", default="reads,loss,samples,latency")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    kivosim = os.path.join(args.build, "tools", "kivosim", "kivosim")
    folder = tempfile.mkdtemp(dir=args.dir)
    only = set(args.only.split(","))
    if "reads" in only:
        with_data, empty = read_rates(kivosim, folder)
        print("read() of a 16-channel datagram into numpy: %.0f calls/s; read() with nothing new: %.0f calls/s"
              % (with_data, empty))
    if "loss" in only:
        python = highest_loss_free(lambda r: python_keeps_up(kivosim, r, args.seconds, folder))
        print("loss-free rate, 16 channels, Python acquisition polling read(): %d datagrams/s" % python)
        core = os.path.join(args.build, "bench", "acquisition", "loss_free_rate")
        if os.access(core, os.X_OK):
            sys.stdout.write("the core alone (loss_free_rate):\n" +
                             subprocess.run([core, str(args.seconds), folder], capture_output=True, text=True).stdout)
    if "samples" in only:
        alone, taking = [], []
        for _ in range(args.repeat):
            alone.append(delivery_cpu(kivosim, folder, 5, False)[0])
            cpu, taken = delivery_cpu(kivosim, folder, 5, True)
            taking.append(cpu)
        print("20,000 datagrams/s of 16 channels, CPU ms per second of signal (median of %d): acquisition alone %.1f, "
              "with read_samples() every 50 ms %.1f (%d datagrams taken in the last run); delivery %.1f ms, "
              "ratio %.2f" % (args.repeat, 1e3 * median(alone), 1e3 * median(taking), taken,
                              1e3 * (median(taking) - median(alone)), median(taking) / median(alone)))
    if "latency" in only:
        for _ in range(args.repeat):
            spin = latencies(kivosim, folder, 4, "spin")
            for how in ("read_samples", "read"):
                mid, p99, n = latencies(kivosim, folder, 4, how)
                print("latency, stamp to the return of %s(timeout) at 1,000 datagrams/s: median %.0f us, 99th "
                      "percentile %.0f us (%d datagrams); a loop without waiting: %.0f / %.0f us; ratio %.2f / %.2f"
                      % (how, mid, p99, n, spin[0], spin[1], mid / spin[0], p99 / spin[1]))
    shutil.rmtree(folder)


if __name__ == "__main__":
    main()
