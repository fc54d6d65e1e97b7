"""kivorec.exe under wine64, fed by the Linux kivosim over loopback: the
usage and channel-count refusals, a recording stopped with Ctrl-C (wine turns
SIGINT into the console's Ctrl-C event) checked byte for byte, Ctrl-C with no
traffic, a port that cannot be bound, and a second recorder on the port.

The recording is also read back by kivoinspect.exe, and exported twice by
kivoexport.exe (the second export replaces the first's files).

usage: test_kivorec_wine.py WINE_RUN KIVOREC_EXE KIVOINSPECT_EXE KIVOSIM KIVOEXPORT_EXE
"""

import glob
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from array import array

WINE_RUN, KIVOREC, KIVOINSPECT, KIVOSIM, KIVOEXPORT = (os.path.abspath(p) for p in sys.argv[1:6])
PORT = 55000
CHANNELS, NSAMP, DATAGRAM = 8, 86, 1388


def port_bound():
    with open("/proc/net/udp") as table:
        return any(line.split()[1].endswith(":%04X" % PORT) for line in table.readlines()[1:])


def wait_for(condition, seconds):
    deadline = time.time() + seconds
    while not condition() and time.time() < deadline:
        time.sleep(0.02)
    return condition()


def pattern_datagram(seq, index):
    """What kivosim --content pattern sends as datagram `index` with sequence number `seq`."""
    header = b"KV" + struct.pack("<IBBHH", index, CHANNELS, 1, ~seq & 0xFFFF, seq)
    samples = array("H")
    for t in range(NSAMP):
        for c in range(CHANNELS):
            x = (seq * 40503 + c * 9973 + t * 131) & 0xFFFFFFFF
            samples.append((x ^ (x >> 11)) & 0xFFFF)
    if sys.byteorder != "little":
        samples.byteswap()
    return header + samples.tobytes()


def setUpModule():
    # wine's server and background programs, started apart from the pipes
    # that the tests read, so that reading to the end does not wait for them.
    subprocess.run([WINE_RUN, "--start-server"], check=True, timeout=120)


class KivorecUnderWine(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kivorec_wine_")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def run_kivorec(self, *args):
        return subprocess.run([WINE_RUN, KIVOREC, *args], cwd=self.dir, capture_output=True, text=True, timeout=120)

    def start(self, chans=str(CHANNELS)):
        self.assertTrue(wait_for(lambda: not port_bound(), 30), "port 55000 stays busy")
        self.out = open(os.path.join(self.dir, "stdout.txt"), "w+")
        self.addCleanup(self.out.close)
        recorder = subprocess.Popen([WINE_RUN, KIVOREC, chans], cwd=self.dir, stdout=self.out,
                                    stderr=subprocess.PIPE, text=True)
        self.addCleanup(recorder.stderr.close)
        self.addCleanup(lambda: recorder.poll() is not None or recorder.kill() or recorder.wait())
        self.assertTrue(wait_for(lambda: port_bound() or recorder.poll() is not None, 60), "kivorec never bound")
        self.assertIsNone(recorder.poll(), "kivorec ended at start")
        return recorder

    def stdout(self):
        self.out.seek(0)
        return self.out.read()

    def stop(self, recorder):
        recorder.send_signal(signal.SIGINT)
        status = recorder.wait(timeout=60)
        return status, recorder.stderr.read()

    def files(self, pattern):
        return sorted(glob.glob(os.path.join(self.dir, pattern)))

    def metadata(self):
        [path] = self.files("*_kivo_samples.json")
        with open(path) as f:
            return json.load(f)

    def test_usage_and_refused_channel_counts(self):
        usage = self.run_kivorec()
        self.assertEqual(usage.returncode, 255)
        self.assertRegex(usage.stderr, r"^usage: \S*kivorec\.exe chans\n")
        self.assertIn("Exit status: 0 everything received was written; 3 ", usage.stderr)
        for chans in ("abc", "0", "17", "-8"):
            refused = self.run_kivorec(chans)
            self.assertEqual(refused.returncode, 255, chans)
            self.assertEqual(refused.stderr, "invalid # of channels (must be between 1 and 16)\n", chans)
        self.assertEqual(self.files("*kivo_samples*"), [])

    def test_ctrl_c_during_traffic_keeps_every_datagram(self):
        recorder = self.start()
        count = 2500
        subprocess.run([KIVOSIM, "--quiet", "--port", str(PORT), "--channels", str(CHANNELS), "--content", "pattern",
                        "--count", str(count), "--rate", "1000"], check=True, timeout=60, stdout=subprocess.DEVNULL)
        self.assertTrue(wait_for(lambda: "seq # = 2400\n" in self.stdout(), 30), self.stdout())
        status, errors = self.stop(recorder)
        self.assertEqual(status, 0, errors)
        [sample] = self.files("*_kivo_samples.dat")
        lines = self.stdout().splitlines()
        self.assertEqual(lines[0], "With # channels = 8, datagram size = 1388 bytes")
        self.assertEqual(lines[1], "Data will be saved to %s (in the current working directory)." %
                         os.path.basename(sample))
        self.assertEqual([l for l in lines if l.startswith("seq # = ")],
                         ["seq # = %d" % n for n in range(0, count, 100)])
        self.assertIn("Ctrl-C event", lines)
        self.assertIn("Saved 2500 of 2500 datagrams received to %s (2 block(s) and 500 slot(s)); 0 sequence gap(s), "
                      "0 dropped by the system, 0 block(s) not saved; ended: ctrl-c" % os.path.basename(sample), lines)
        # Two whole blocks, then the 500 slots of the block that was cut short
        # when no more datagrams came.
        with open(sample, "rb") as f:
            data = f.read()
        self.assertEqual(len(data), count * DATAGRAM)
        wrong = [i for i in range(count) if data[i * DATAGRAM:(i + 1) * DATAGRAM] != pattern_datagram(i, i)]
        self.assertEqual(wrong, [])
        meta = self.metadata()
        self.assertEqual((meta["ended"], meta["blocks_written"], meta["slots_written"], meta["datagrams_received"],
                          meta["sequence_gaps"], meta["write_errors"]), ("ctrl-c", 2, count, count, 0, 0))
        # Winsock stamps nothing: the stamps are the receiver's clock, fitted all the same.
        timing = meta["timing"]
        self.assertEqual((timing["stamp_source"], timing["datagrams"], timing["segment_count"]), ("receiver", count, 1))
        self.assertLess(abs(timing["sample_rate"] / (1000 * NSAMP) - 1), 1e-3)
        inspected = subprocess.run([WINE_RUN, KIVOINSPECT, "--json", os.path.basename(sample)], cwd=self.dir,
                                   capture_output=True, text=True, timeout=120)
        self.assertEqual(inspected.returncode, 0, inspected.stdout + inspected.stderr)
        self.assertIn('"consistent":true', inspected.stdout.replace(" ", ""))
        samples = array("H")
        for i in range(count):
            samples.frombytes(data[i * DATAGRAM + 12:(i + 1) * DATAGRAM])
        for _ in range(2):
            exported = subprocess.run([WINE_RUN, KIVOEXPORT, "--sample-rate", "86000", os.path.basename(sample)],
                                      cwd=self.dir, capture_output=True, text=True, timeout=120)
            self.assertEqual(exported.returncode, 0, exported.stdout + exported.stderr)
        floats = array("f")
        with open(os.path.splitext(sample)[0] + ".eeg", "rb") as f:
            floats.frombytes(f.read())
        self.assertEqual(floats.tolist(), [float(v) for v in samples])
        self.assertEqual(self.files("*.tmp"), [])

    def test_ctrl_c_while_the_device_sends_keeps_whole_blocks(self):
        recorder = self.start()
        sender = subprocess.Popen([KIVOSIM, "--quiet", "--port", str(PORT), "--channels", str(CHANNELS),
                                   "--content", "pattern", "--rate", "400", "--duration", "60"],
                                  stdout=subprocess.DEVNULL)
        self.addCleanup(sender.wait)
        self.addCleanup(sender.send_signal, signal.SIGINT)
        self.assertTrue(wait_for(lambda: "seq # = 1200\n" in self.stdout(), 30), self.stdout())
        status, errors = self.stop(recorder)
        self.assertEqual(status, 0, errors)
        [sample] = self.files("*_kivo_samples.dat")
        size = os.path.getsize(sample)
        self.assertEqual(size % (1000 * DATAGRAM), 0)
        self.assertGreaterEqual(size, 2000 * DATAGRAM)

    def test_wrong_channel_count_is_said_and_counted(self):
        recorder = self.start("4")
        subprocess.run([KIVOSIM, "--quiet", "--port", str(PORT), "--channels", "8", "--content", "pattern",
                        "--count", "1500", "--rate", "1000"], check=True, timeout=60, stdout=subprocess.DEVNULL)
        self.assertTrue(wait_for(lambda: "seq # = 1400\n" in self.stdout(), 30), self.stdout())
        status, errors = self.stop(recorder)
        self.assertEqual(status, 0, errors)
        # Winsock does not tell how long a cut datagram was.
        expected = " arrived where 1012 bytes are expected for 4 channels; check the channel count\n"
        self.assertIn("a datagram of more than 1012 bytes" + expected, errors)
        self.assertIn("1500 datagram(s) of more than 1012 bytes" + expected, errors)
        self.assertEqual(self.metadata()["wrong_size_datagrams"], 1500)

    def test_ctrl_c_without_traffic_ends_at_once(self):
        recorder = self.start()
        status, errors = self.stop(recorder)
        self.assertEqual(status, 0, errors)
        self.assertIn("Ctrl-C event", self.stdout())
        [sample] = self.files("*_kivo_samples.dat")
        self.assertEqual(os.path.getsize(sample), 0)
        meta = self.metadata()
        self.assertEqual((meta["ended"], meta["slots_written"]), ("ctrl-c", 0))

    def test_a_second_recorder_is_refused_and_the_first_keeps_every_datagram(self):
        recorder = self.start()
        other = tempfile.mkdtemp(prefix="kivorec_wine_second_")
        self.addCleanup(shutil.rmtree, other, True)
        second = subprocess.run([WINE_RUN, KIVOREC, str(CHANNELS)], cwd=other, capture_output=True, text=True,
                                timeout=120)
        self.assertEqual(second.returncode, 255, second.stderr)
        self.assertRegex(second.stderr, r"(?m)^bind\(\) failed: (.*\()?error 100[0-9]{2}\)?$")
        subprocess.run([KIVOSIM, "--quiet", "--port", str(PORT), "--channels", str(CHANNELS), "--content", "pattern",
                        "--count", "1000", "--rate", "1000"], check=True, timeout=60, stdout=subprocess.DEVNULL)
        self.assertTrue(wait_for(lambda: "seq # = 900\n" in self.stdout(), 30), self.stdout())
        status, errors = self.stop(recorder)
        self.assertEqual(status, 0, errors)
        [sample] = self.files("*_kivo_samples.dat")
        self.assertEqual(os.path.getsize(sample), 1000 * DATAGRAM)

    def test_port_that_cannot_be_bound(self):
        self.assertTrue(wait_for(lambda: not port_bound(), 30), "port 55000 stays busy")
        holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)  # no address reuse
        holder.bind(("", PORT))
        self.addCleanup(holder.close)
        result = self.run_kivorec(str(CHANNELS))
        self.assertEqual(result.returncode, 255)
        self.assertRegex(result.stderr, r"(?m)^bind\(\) failed: (.*\()?error 100[0-9]{2}\)?$")
        [sample] = self.files("*_kivo_samples.dat")
        self.assertEqual(os.path.getsize(sample), 0)
        self.assertEqual(self.metadata()["ended"], "socket error")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[6:], verbosity=2)
