#!/usr/bin/env python3
"""The Debian package as a lab machine gets it: `apt-get install ./kivo_*.deb`
puts every program of the package on the PATH, each with its manual page and
a --help; kivosim's stream recorded by the installed kivorec (in a network
namespace of its own, for kivorec's fixed port) is whole by the installed
kivoinspect; `apt-get purge` leaves nothing of the package in /usr.

Needs root (apt-get); skipped without it, and where a package kivo is
installed already (the test would replace it).

usage: test_debian_package.py DEB
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "reliability"))
from kivo_rig import (RECORDER_PORT, Failures, in_own_netns, is_root, kivoinspect, metadata_of,  # noqa: E402
                      run_kivosim, sample_files, skip, start_kivorec, wait_listening, wait_recorded)

PACKAGE = "kivo"
RECORDED_PROGRAMS = ("kivorec", "kivosim", "kivoinspect")
NCHANS = 8
DATAGRAMS = 3000  # three whole blocks


class Installed:
    """The programs as the PATH finds them, in kivo_rig's terms."""

    def __init__(self):
        for program in RECORDED_PROGRAMS:
            setattr(self, program, shutil.which(program))


def installed_version():
    out = subprocess.run(["dpkg-query", "-W", "-f=${Status} ${Version}", PACKAGE],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    words = out.stdout.split()
    return words[-1] if out.returncode == 0 and "installed" in words[:3] and len(words) == 4 else None


def apt_get(*args):
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    return subprocess.run(["apt-get", "-y", "-q", "--no-install-recommends"] + list(args), env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def kivo_paths_in_usr():
    """Every path below /usr whose name says kivo."""
    found = set()
    for folder, dirs, files in os.walk("/usr"):
        found.update(os.path.join(folder, n) for n in dirs + files if "kivo" in n)
    return found


def check_programs(t, listing):
    programs = sorted(os.path.basename(p) for p in listing if os.path.dirname(p) == "/usr/bin")
    t.check(set(RECORDED_PROGRAMS) <= set(programs), "the package's programs are %s", programs)
    for program in programs:
        t.check(shutil.which(program) == "/usr/bin/" + program, "%s is not found on the PATH", program)
        t.check("/usr/share/man/man1/%s.1.gz" % program in listing, "%s has no manual page", program)
        out = subprocess.run([program, "--help"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        t.check(out.returncode == 0 and out.stdout.startswith("usage: " + program),
                "%s --help: status %d, %r", program, out.returncode, out.stdout[:200])
    for document in ("copyright", "changelog.Debian.gz"):
        t.check("/usr/share/doc/kivo/" + document in listing, "/usr/share/doc/kivo/%s is missing", document)


def check_recording(t, work):
    """kivosim -> kivorec -> Ctrl-C: every datagram in the file, and kivoinspect content with it."""
    tools = Installed()
    folder = os.path.join(work, "recording")
    os.makedirs(folder)

    def record(ns):
        rec = start_kivorec(tools, NCHANS, folder, ns)
        if not t.check(wait_listening(rec), "kivorec did not start listening"):
            rec.kill()
            return
        sent = run_kivosim(tools, RECORDER_PORT, NCHANS, ["--count", str(DATAGRAMS), "--rate", "10000"], ns).sent
        t.check(wait_recorded(folder, sent), "kivorec did not take the %d datagrams", sent)
        rec.send_signal(signal.SIGINT)
        t.check(rec.wait(timeout=60) == 0, "kivorec ended with status %s", rec.returncode)
        files = sample_files(folder)
        if t.check(len(files) == 1, "kivorec wrote %s", files):
            meta = metadata_of(files[0])
            t.check(meta["slots_written"] == sent and meta["ended"] == "ctrl-c", "metadata %r", meta)
            status, report = kivoinspect(tools, files[0])
            t.check(status == 0 and report is not None, "kivoinspect: status %d, %r", status, report)

    in_own_netns("deb", record)


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    deb = os.path.abspath(sys.argv[1])
    if not is_root():
        skip("installing a Debian package needs root")
    if installed_version():
        skip("a package %s %s is installed here, which the test would replace" % (PACKAGE, installed_version()))
    t = Failures()
    before = kivo_paths_in_usr()
    install = apt_get("install", deb)
    try:
        if t.check(install.returncode == 0 and installed_version(), "apt-get install failed:\n%s", install.stdout):
            listing = subprocess.run(["dpkg", "-L", PACKAGE], stdout=subprocess.PIPE, text=True).stdout.split()
            check_programs(t, listing)
            with tempfile.TemporaryDirectory() as work:
                check_recording(t, work)
    finally:
        purge = apt_get("purge", PACKAGE)
    t.check(purge.returncode == 0 and installed_version() is None, "apt-get purge failed:\n%s", purge.stdout)
    left = sorted(kivo_paths_in_usr() - before)
    t.check(not left, "left in /usr after the purge: %s", left)
    t.finish()


if __name__ == "__main__":
    main()
