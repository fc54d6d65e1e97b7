"""What the reliability tests and the soak share: the built programs, a
network namespace of their own (so that kivorec's fixed port 55000 meets no
other program), a small tmpfs, kivosim's summary line, kivoinspect's verdict,
the metadata file, a sample file's sequence checked slot by slot, and the
resident memory, descriptors and threads of a process.

A test that cannot run here (no root, no namespaces, no tmpfs) calls skip(),
which prints the reason and ends with status 77 (CTest's SKIP_RETURN_CODE).
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

SKIP_STATUS = 77
RECORDER_PORT = 55000


def skip(reason):
    print("SKIPPED: " + reason, flush=True)
    sys.exit(SKIP_STATUS)


class Failures:
    """Counts failed checks and prints each; ends the test with the verdict."""

    def __init__(self):
        self.count = 0

    def check(self, condition, text, *args):
        if not condition:
            self.count += 1
            print("FAILED: " + (text % args if args else text), flush=True)
        return bool(condition)

    def finish(self):
        if self.count:
            print("%d check(s) failed" % self.count, flush=True)
            sys.exit(1)
        print("ALL PASSED", flush=True)
        sys.exit(0)


def datagram_size(nchans):
    return import_kivo().recording.geometry(nchans)[1]


class Tools:
    """The programs of one build folder."""

    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.kivosim = os.path.join(self.build, "tools", "kivosim", "kivosim")
        self.kivorec = os.path.join(self.build, "recorder", "kivorec")
        self.kivoinspect = os.path.join(self.build, "tools", "kivoinspect", "kivoinspect")
        self.velto_dir = self.build
        # The plug-in and an Octave to load it (not in the sanitizer builds).
        self.has_velto = os.path.exists(os.path.join(self.build, "velto.mex")) and \
            shutil.which("octave-cli") is not None
        here = os.path.dirname(os.path.abspath(__file__))
        self.source = os.path.abspath(os.path.join(here, "..", ".."))
        for program in (self.kivosim, self.kivorec, self.kivoinspect):
            if not os.access(program, os.X_OK):
                raise SystemExit("not built: " + program)


def is_root():
    return os.geteuid() == 0


# ---- network namespaces ----

class NetNs:
    """A network namespace with its loopback up; `prefix` runs a command in
    it. Without root or namespaces, make() skips the test or, when
    `fallback` is true, returns None (run in the host's namespace)."""

    def __init__(self, name):
        self.name = name
        self.prefix = ["ip", "netns", "exec", name]

    @staticmethod
    def make(tag, fallback=False):
        why = NetNs.unavailable()
        if why:
            if fallback:
                return None
            skip(why)
        ns = NetNs("kivo-%s-%d" % (tag, os.getpid()))
        subprocess.run(["ip", "netns", "del", ns.name], stderr=subprocess.DEVNULL)
        if subprocess.run(["ip", "netns", "add", ns.name], stderr=subprocess.PIPE).returncode != 0:
            if fallback:
                return None
            skip("cannot create a network namespace (ip netns add failed)")
        subprocess.run(ns.prefix + ["ip", "link", "set", "lo", "up"], check=True)
        return ns

    @staticmethod
    def unavailable():
        if not is_root():
            return "network namespaces need root"
        if shutil.which("ip") is None:
            return "iproute2's ip is not installed"
        return ""

    def run(self, args, **kw):
        return subprocess.run(self.prefix + list(args), **kw)

    def close(self):
        # Whatever still runs in it ends with it.
        out = subprocess.run(["ip", "netns", "pids", self.name], stdout=subprocess.PIPE, text=True)
        for pid in out.stdout.split():
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
        subprocess.run(["ip", "netns", "del", self.name], stderr=subprocess.DEVNULL)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def prefix_of(ns):
    return ns.prefix if ns else []


def in_own_netns(tag, run):
    """Calls run(ns) with a network namespace of its own, or with None (the
    host's) where there can be none; the namespace is removed afterwards."""
    ns = NetNs.make(tag, fallback=True)
    try:
        run(ns)
    finally:
        if ns:
            ns.close()


# ---- tmpfs ----

class Tmpfs:
    """A tmpfs of `size` bytes mounted at `path` (made here) for the test."""

    def __init__(self, path, size):
        self.path = path
        self.size = size
        self.mounted = False

    def __enter__(self):
        if not is_root():
            skip("mounting a tmpfs needs root")
        os.makedirs(self.path, exist_ok=True)
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,mode=0755" % self.size, "tmpfs", self.path],
                                stderr=subprocess.PIPE, text=True)
        if result.returncode != 0:
            skip("cannot mount a tmpfs: " + result.stderr.strip())
        self.mounted = True
        return self

    def __exit__(self, *exc):
        if self.mounted:
            subprocess.run(["umount", "-l", self.path])
            self.mounted = False


# ---- programs ----

SUMMARY = re.compile(r"kivosim: sent (\d+) datagrams \((\d+) bytes\) in ([\d.]+) s: ([\d.]+) datagrams/s; "
                     r"skipped (\d+) sequence numbers")


class SimSummary:
    def __init__(self, text):
        m = SUMMARY.search(text)
        if not m:
            raise RuntimeError("no kivosim summary in: " + text[-500:])
        self.sent, self.bytes = int(m.group(1)), int(m.group(2))
        self.seconds, self.rate = float(m.group(3)), float(m.group(4))
        self.skipped = int(m.group(5))
        self.slipped = "fell behind schedule" in text

    def __repr__(self):
        return "sent %d in %.1f s (%.0f/s)" % (self.sent, self.seconds, self.rate)


def kivosim_args(tools, port, nchans, extra, host="127.0.0.1"):
    return [tools.kivosim, "--host", host, "--port", str(port), "--channels", str(nchans), "--quiet"] + list(extra)


def run_kivosim(tools, port, nchans, extra, ns=None, host="127.0.0.1"):
    """Runs kivosim to its end; returns its summary."""
    out = subprocess.run(prefix_of(ns) + kivosim_args(tools, port, nchans, extra, host),
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if out.returncode != 0:
        raise RuntimeError("kivosim failed (%d): %s" % (out.returncode, out.stdout))
    return SimSummary(out.stdout)


def start_kivosim(tools, port, nchans, extra, ns=None, host="127.0.0.1", log=None):
    out = open(log, "w") if log else subprocess.PIPE
    return subprocess.Popen(prefix_of(ns) + kivosim_args(tools, port, nchans, extra, host),
                            stdout=out, stderr=subprocess.STDOUT, text=True)


def finish_kivosim(process, log=None):
    text = process.communicate()[0] if log is None else (process.wait(), open(log).read())[1]
    return SimSummary(text)


def start_kivorec(tools, nchans, workdir, ns=None, name="kivorec"):
    """kivorec in `workdir`; its output goes to files beside it."""
    out = open(os.path.join(os.path.dirname(workdir.rstrip("/")), name + ".out"), "w")
    err = open(os.path.join(os.path.dirname(workdir.rstrip("/")), name + ".err"), "w")
    return subprocess.Popen(prefix_of(ns) + [tools.kivorec, str(nchans)], cwd=workdir, stdout=out, stderr=err)


def start_listening_kivorec(t, tools, nchans, workdir, ns, name, label):
    """kivorec as start_kivorec starts it, once it listens on its port; None
    when it does not (noted in `t` under `label`, and the process killed)."""
    rec = start_kivorec(tools, nchans, workdir, ns, name)
    if t.check(wait_listening(rec), "%s: kivorec did not start listening", label):
        return rec
    rec.kill()
    return None


def recorder_output(workdir, name="kivorec"):
    base = os.path.dirname(workdir.rstrip("/"))
    read = lambda suffix: open(os.path.join(base, name + suffix)).read()
    return read(".out"), read(".err")


def wait_recorded(workdir, datagrams, name="kivorec", seconds=60.0):
    """Waits until kivorec's progress lines show that it has taken
    `datagrams` datagrams off its socket (a line after datagrams 0, 100, ...
    of every block), so that a Ctrl-C then finds nothing left unread."""
    out = os.path.join(os.path.dirname(workdir.rstrip("/")), name + ".out")
    lines = (datagrams + 99) // 100

    def done():
        with open(out) as f:
            text = f.read()
        # A line after a slow console says how many before it were skipped.
        skipped = sum(int(n) for n in re.findall(r"\((\d+) progress lines skipped", text))
        return text.count("seq # = ") + skipped >= lines
    return wait_until(done, seconds)


def udp_port_bound(pid, port):
    """True when a socket in the network namespace of process `pid` is
    bound to the UDP port. While `ip netns exec` has not yet become the
    program, the process is still in the caller's namespace, where another
    program may hold the port: that is not an answer yet."""
    wanted = ":%04X" % port
    try:
        if os.path.basename(os.readlink("/proc/%d/exe" % pid)) in ("ip", "sh", "dash", "bash"):
            return False
        with open("/proc/%d/net/udp" % pid) as table:
            return any(line.split()[1].endswith(wanted) for line in list(table)[1:])
    except OSError:
        return False


def wait_until(condition, seconds=30.0, step=0.02):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


def wait_listening(process, port=RECORDER_PORT, seconds=30.0):
    return wait_until(lambda: process.poll() is not None or udp_port_bound(process.pid, port), seconds) \
        and process.poll() is None


# ---- files ----

def fresh(path):
    """An empty folder at `path`."""
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def sample_files(folder):
    return sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".dat"))


def metadata_of(dat):
    path = dat[:-4] + ".json" if dat.endswith(".dat") else dat + ".json"
    with open(path) as f:
        return json.load(f)


def kivoinspect(tools, dat, *options):
    """kivoinspect --json on a file: (exit status, report or None)."""
    out = subprocess.run([tools.kivoinspect, "--json"] + list(options) + [dat],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        return out.returncode, json.loads(out.stdout)
    except ValueError:
        return out.returncode, None


def import_kivo():
    """The package kivo of this source tree, for its reader, which needs
    numpy alone (nothing built)."""
    package_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python")
    if package_dir not in sys.path:
        sys.path.insert(0, package_dir)
    import kivo  # noqa: E402
    return kivo


def check_stream(reader, dat, first_index=0, chunk_blocks=200, nchans=None, kind=None):
    """Checks, block range by block range, that the file's slots hold the
    simulator's datagrams first_index, first_index + 1, ... once each and in
    order: the running index in header bytes 2-5 and the sequence number
    both go up by one from slot to slot. Returns (slots, problem or "")."""
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a file cut by a kill is expected here
        return _check_stream(reader, dat, first_index, chunk_blocks, nchans, kind)


def _check_stream(reader, dat, first_index, chunk_blocks, nchans, kind):
    rec = reader.read_recording(dat, nchans, kind=kind)
    total_blocks = rec.whole_blocks + (1 if rec.partial_slots else 0)
    expected = first_index
    slots = 0
    import numpy as np
    for start in range(0, max(total_blocks, 1), chunk_blocks):
        part = reader.read_recording(dat, nchans, (start, start + chunk_blocks), kind=kind)
        n = part.slots
        if n == 0:
            continue
        header = np.asarray(part.header)
        index = header[:, 2].astype(np.uint64) | (header[:, 3].astype(np.uint64) << 8) | \
            (header[:, 4].astype(np.uint64) << 16) | (header[:, 5].astype(np.uint64) << 24)
        want = np.arange(expected, expected + n, dtype=np.uint64)
        bad = np.flatnonzero(index != want)
        if len(bad):
            k = int(bad[0])
            return slots + k, "slot %d holds datagram %d, expected %d" % (slots + k, int(index[k]), int(want[k]))
        seq = np.asarray(part.sequence_no).astype(np.uint64)
        if np.any(seq != (want % 65536)):
            k = int(np.flatnonzero(seq != (want % 65536))[0])
            return slots + k, "slot %d has sequence number %d, expected %d" % (slots + k, int(seq[k]), int(want[k] % 65536))
        expected += n
        slots += n
    return slots, ""


# ---- a process's resources ----

def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def thread_count(pid):
    return len(os.listdir("/proc/%d/task" % pid))


# ---- velto in an Octave session ----

class VeltoSession:
    """velto acquiring in an Octave process (kivo_rel_session.m), in a
    network namespace when one is given. stop() ends it and returns the
    status lines, the final status and what 'close' printed."""

    def __init__(self, tools, port, nchans, folder, ns=None, reads_per_second=100, log=None):
        import threading
        here = os.path.dirname(os.path.abspath(__file__))
        self.control = os.path.join(folder, "..", "control-%d" % port)
        self.control = os.path.abspath(self.control)
        if os.path.exists(self.control):
            os.remove(self.control)
        code = "addpath ('%s'); kivo_rel_session (%d, %d, '%s', '%s', %g)" % (
            tools.velto_dir, port, nchans, folder, self.control, reads_per_second)
        command = prefix_of(ns) + ["octave-cli", "--no-gui", "--norc", "--no-history", "--quiet",
                                   "--path", os.path.join(here, "..", "octave", "lib"), "--path", here, "--eval", code]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines = []
        self.opened = threading.Event()
        self.closed = threading.Event()
        self.log = open(log, "w") if log else None
        self.reader = threading.Thread(target=self._collect, daemon=True)
        self.reader.start()

    def _collect(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))
            if self.log:
                self.log.write(line)
                self.log.flush()
            if line.startswith("OPEN"):
                self.opened.set()
            if line.startswith("CLOSED"):
                self.closed.set()
        self.opened.set()
        self.closed.set()

    def wait_open(self, seconds=60):
        return self.opened.wait(seconds) and any(l.startswith("OPEN") for l in self.lines)

    def status_lines(self):
        out = []
        for line in list(self.lines):
            if line.startswith("STATUS "):
                f = line.split()[1:]
                out.append({"seconds": float(f[0]), "datagrams": int(f[1]), "sequence_gaps": int(f[2]),
                            "blocks_saved": int(f[3]), "kernel_drops": int(f[4]), "write_errors": int(f[5]),
                            "rss_kib": int(f[6]), "reads": int(f[7])})
        return out

    def wait_datagrams(self, count, seconds=60):
        """Waits until a status line shows `count` datagrams received."""
        return wait_until(lambda: (self.status_lines() or [{}])[-1].get("datagrams", 0) >= count, seconds, 0.1)

    def stop(self, seconds=120):
        with open(self.control, "w") as f:
            f.write("stop\n")
        self.closed.wait(seconds)
        status = self.process.wait(seconds)
        final = None
        close_text = []
        after = False
        for line in self.lines:
            if line.startswith("FINAL "):
                final = json.loads(line[6:])
                after = True
            elif line.startswith("CLOSED"):
                after = False
            elif after:
                close_text.append(line)
        return status, final, "\n".join(close_text)

    def output(self):
        return "\n".join(self.lines)
