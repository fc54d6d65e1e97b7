"""kivorec's metadata file is valid and complete however kivorec ends: Ctrl-C
during traffic, SIGTERM, and a port it cannot bind.

usage: test_recorder_metadata.py KIVOREC KIVOSIM
"""

import glob
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

KIVOREC, KIVOSIM = sys.argv[1], sys.argv[2]
PORT = 55000


def port_bound():
    with open("/proc/net/udp") as table:
        return any(":%04X" % PORT == line.split()[1][-5:] for line in table.readlines()[1:])


class RecorderMetadata(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def start(self):
        recorder = subprocess.Popen([KIVOREC, "8"], cwd=self.dir, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: recorder.poll() is not None or recorder.kill() or recorder.wait())
        deadline = time.time() + 20
        while not port_bound() and recorder.poll() is None and time.time() < deadline:
            time.sleep(0.02)
        return recorder

    def metadata(self):
        [sample] = glob.glob(os.path.join(self.dir, "*_kivo_samples.dat"))
        with open(sample[:-4] + ".json") as f:
            meta = json.load(f)
        self.assertEqual(meta["sample_file"], os.path.basename(sample))
        self.assertEqual((meta["kind"], meta["stamped"], meta["slot_size_bytes"], meta["port"]),
                         ("recorder", False, 1388, PORT))
        if meta["ended"] != "running":
            self.assertEqual(os.path.getsize(sample), meta["slots_written"] * 1388)
        self.assertEqual(glob.glob(os.path.join(self.dir, "*.tmp")), [])
        return meta

    def test_ctrl_c_during_traffic(self):
        recorder = self.start()
        # A skipped number after every 500th datagram: four gaps.
        subprocess.run([KIVOSIM, "--quiet", "--port", str(PORT), "--count", "2500", "--rate", "5000",
                        "--skip-every", "500"], check=True, timeout=60, stdout=subprocess.DEVNULL)
        time.sleep(0.3)
        self.assertEqual(self.metadata()["ended"], "running")
        recorder.send_signal(signal.SIGINT)
        self.assertEqual(recorder.wait(timeout=30), 0)
        meta = self.metadata()
        self.assertEqual(meta["ended"], "ctrl-c")
        self.assertEqual(meta["slots_written"], meta["datagrams_received"])
        self.assertEqual((meta["blocks_lost"], meta["write_errors"]), (0, 0))
        if meta["kernel_drops"] == 0:  # a busy host may drop some before kivorec sees them
            self.assertEqual((meta["slots_written"], meta["blocks_written"]), (2500, 2))
            self.assertEqual(meta["sequence_gaps"], 4)

    def test_sigterm_without_traffic(self):
        recorder = self.start()
        recorder.send_signal(signal.SIGTERM)
        self.assertEqual(recorder.wait(timeout=30), 0)
        meta = self.metadata()
        self.assertEqual((meta["ended"], meta["slots_written"], meta["datagrams_received"]), ("signal", 0, 0))

    def test_port_that_cannot_be_bound(self):
        holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)  # no address reuse
        holder.bind(("", PORT))
        try:
            status = subprocess.run([KIVOREC, "8"], cwd=self.dir, capture_output=True, timeout=30).returncode
        finally:
            holder.close()
        self.assertEqual(status, 255)
        self.assertEqual(self.metadata()["ended"], "socket error")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
