"""The Python acquisition's costs and limits, with the core's own figures from
the same run as the baseline:

  - read() calls per second that return a 16-channel datagram into numpy
    (bursts from a full backlog: about 1005 reads each), and empty read()s;
  - the highest paced rate (16 channels) at which a Python acquisition, with
    a Python thread polling read(), saves every datagram, against the same
    ladder of the acquisition engine alone (bench/acquisition's loss_free_rate).

usage: PYTHONPATH=BUILD/python python3 python_bench.py --build BUILD [--seconds S] [--dir FOLDER]
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
    args = parser.parse_args()
    kivosim = os.path.join(args.build, "tools", "kivosim", "kivosim")
    folder = tempfile.mkdtemp(dir=args.dir)
    with_data, empty = read_rates(kivosim, folder)
    print("read() of a 16-channel datagram into numpy: %.0f calls/s; read() with nothing new: %.0f calls/s"
          % (with_data, empty))
    python = highest_loss_free(lambda r: python_keeps_up(kivosim, r, args.seconds, folder))
    print("loss-free rate, 16 channels, Python acquisition polling read(): %d datagrams/s" % python)
    core = os.path.join(args.build, "bench", "acquisition", "loss_free_rate")
    if os.access(core, os.X_OK):
        sys.stdout.write("the core alone (loss_free_rate):\n" +
                         subprocess.run([core, str(args.seconds), folder], capture_output=True, text=True).stdout)
    shutil.rmtree(folder)


if __name__ == "__main__":
    main()
