"""The cost of a mark while the acquisition receives 20,000 datagrams/s of
16 channels: Acquisition.mark() in Python and velto('mark') in Octave, each
timed call by call (median and 99th percentile), against an empty call
through the same gateway in the same run - the binding's _take_printed()
(which takes the same lock) and velto('fit_sample_clock', 1, [], []) (an
empty fit: the gateway's dispatch and one argument check).

usage: PYTHONPATH=BUILD/python python3 mark_bench.py --build BUILD [--marks N] [--no-octave]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time

import kivo

PORT = 47984


def percentiles(seconds):
    ordered = sorted(seconds)
    return statistics.median(ordered), ordered[int(0.99 * (len(ordered) - 1))]


def sender(kivosim, seconds):
    return subprocess.Popen([kivosim, "--port", str(PORT), "--channels", "16", "--rate", "20000",
                             "--duration", str(seconds), "--content", "pattern", "--quiet"],
                            stdout=subprocess.DEVNULL)


def python_figures(kivosim, folder, marks):
    """((median, p99) of mark(), (median, p99) of the empty call), in seconds."""
    with kivo.Acquisition(PORT, 16, folder) as acq:
        sim = sender(kivosim, 3600)
        try:
            time.sleep(0.5)  # the clock has its line
            empty, marked = [], []
            for k in range(marks):
                t = time.perf_counter()
                acq._take_printed()  # noqa: SLF001 - the baseline: a binding call under the same lock
                empty.append(time.perf_counter() - t)
                t = time.perf_counter()
                acq.mark(k % 256, "trial")
                marked.append(time.perf_counter() - t)
                if k % 100 == 0:
                    time.sleep(0.001)  # the receiver runs meanwhile
        finally:
            sim.terminate()
            sim.wait()
    return percentiles(marked), percentiles(empty)


OCTAVE = """
marks = %d;
velto ('open', %d, 16, '%s');
system (sprintf ('"%%s" --port %%d --channels 16 --rate 20000 --duration 3600 --content pattern --quiet > /dev/null 2>&1 & echo $! > %s/sim.pid', '%s', %d));
pause (0.5);
empty = zeros (marks, 1); marked = zeros (marks, 1);
for k = 1:marks
  t = tic (); velto ('fit_sample_clock', 1, [], []); empty(k) = toc (t);
  t = tic (); velto ('mark', mod (k, 256), 'trial'); marked(k) = toc (t);
end
system (sprintf ('kill $(cat %s/sim.pid)'));
velto ('close');
s = sort (marked); e = sort (empty); p = floor (0.99 * (marks - 1)) + 1;
printf ('%%.9f %%.9f %%.9f %%.9f\\n', median (s), s(p), median (e), e(p));
"""


def octave_figures(build, kivosim, folder, marks):
    script = OCTAVE % (marks, PORT, folder, folder, kivosim, PORT, folder)
    out = subprocess.run(["octave-cli", "--no-gui", "--norc", "--quiet", "--path", build, "--eval", script],
                         capture_output=True, text=True, check=True)
    m, m99, e, e99 = (float(x) for x in out.stdout.split()[-4:])
    return (m, m99), (e, e99)


def show(host, mark, empty, baseline):
    print("%-7s mark: median %7.2f us, 99th percentile %7.2f us; %s: median %6.2f us, 99th %6.2f us; "
          "ratio of medians %.1f" % (host, mark[0] * 1e6, mark[1] * 1e6, baseline, empty[0] * 1e6, empty[1] * 1e6,
                                     mark[0] / empty[0]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--marks", type=int, default=5000)
    parser.add_argument("--no-octave", action="store_true")
    o = parser.parse_args()
    kivosim = os.path.join(os.path.abspath(o.build), "tools", "kivosim", "kivosim")
    folder = tempfile.mkdtemp()
    try:
        show("Python", *python_figures(kivosim, folder, o.marks), "empty binding call")
        if not o.no_octave and shutil.which("octave-cli"):
            show("Octave", *octave_figures(os.path.abspath(o.build), kivosim, folder, o.marks),
                 "empty velto call")
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
