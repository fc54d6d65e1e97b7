"""What the tests of the Python package share: kivosim, a port of their own
per test, waiting on a condition, and the sample files of a folder."""

import glob
import json
import os
import subprocess
import time

import pytest

KIVOSIM = os.environ["KIVOSIM"]
KIVOINSPECT = os.environ["KIVOINSPECT"]
FIRST_PORT = int(os.environ.get("KIVO_TEST_PORT", "48000"))
_next_port = [FIRST_PORT]


@pytest.fixture
def port():
    """A UDP port that no other test uses (KIVO_TEST_PORT and on)."""
    _next_port[0] += 1
    return _next_port[0] - 1


def sim(port, nchans, count, *extra, rate=20000):
    """Runs kivosim to its end; returns its summary line."""
    out = subprocess.run([KIVOSIM, "--port", str(port), "--channels", str(nchans), "--count", str(count),
                          "--rate", str(rate), "--quiet"] + list(extra),
                         capture_output=True, text=True, check=True, timeout=120)
    return out.stdout


def wait_until(condition, seconds=60.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def received(acq, count):
    """Waits until the acquisition has taken `count` datagrams off its socket."""
    return wait_until(lambda: acq.status()["datagrams"] >= count)


def sample_files(folder, kind="samples"):
    return sorted(glob.glob(os.path.join(str(folder), "*_kivo_%s.dat" % kind)))


def metadata(dat):
    with open(dat[:-4] + ".json") as f:
        return json.load(f)
