"""python3 -m kivo plot draws velto's raw and filtered files and kivorec's
file into PNGs, and refuses a file it cannot read with exit status 2.

usage: test_plot.py RECORDINGS_DIR PYTHON_DIR OUT_DIR
(PYTHON_DIR: the folder holding the package kivo)
"""

import json
import os
import subprocess
import sys
import unittest

RECORDINGS, PYTHON_DIR, OUT = sys.argv[1:4]
with open(os.path.join(RECORDINGS, "manifest.json")) as f:
    MANIFEST = json.load(f)
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def plot(*args):
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
    return subprocess.run([sys.executable, "-m", "kivo", "plot"] + list(args), capture_output=True, text=True,
                          env=env, timeout=300)


class Plot(unittest.TestCase):
    def test_every_kind_of_file_is_drawn(self):
        files = {"raw": MANIFEST["velto"]["raw"], "filtered": MANIFEST["velto"]["filtered"],
                 "kivorec": MANIFEST["kivorec"]["file"], "kivorec_gap": MANIFEST["kivorec_timed"]["file"]}
        for name, path in files.items():
            with self.subTest(name):
                png = os.path.join(OUT, name + ".png")
                result = plot(path, "-o", png, "--show", "1,3")
                self.assertEqual(result.returncode, 0, result.stderr)
                with open(png, "rb") as f:
                    head = f.read(24)
                self.assertEqual(head[:8], PNG_SIGNATURE)
                self.assertEqual(int.from_bytes(head[16:20], "big"), 1200)  # 12 inches at 100 dpi

    def test_a_file_it_cannot_read_exits_2(self):
        result = plot(os.path.join(OUT, "no_such_kivo_samples.dat"))
        self.assertEqual(result.returncode, 2)
        self.assertIn("no_such_kivo_samples.dat: no such file", result.stderr)
        result = plot(MANIFEST["velto"]["raw"], "--show", "4")
        self.assertEqual(result.returncode, 2)
        self.assertIn("has 3 channels", result.stderr)


if __name__ == "__main__":
    os.makedirs(OUT, exist_ok=True)
    unittest.main(argv=sys.argv[:1], verbosity=2)
