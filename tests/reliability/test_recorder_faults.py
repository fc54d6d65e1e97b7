#!/usr/bin/env python3
"""kivorec under faults of its surroundings: the disk fills up (a small
tmpfs), the folder is removed or made read-only while it records, it starts
in a folder that no longer exists, and port 55000 is taken. Each ending is
reported, the status says whether everything was kept, and the blocks
written before stay whole and in order.

usage: test_recorder_faults.py BUILD_DIR WORK_DIR
"""
import os
import shutil
import signal
import subprocess
import sys

from kivo_rig import (RECORDER_PORT, Failures, NetNs, Tmpfs, Tools, check_stream, fresh, import_kivo, is_root,
                      metadata_of, recorder_output, run_kivosim, sample_files, start_listening_kivorec,
                      wait_recorded)

FAILURE = 255  # kivorec's -1


def stop(recorder, seconds=30):
    recorder.send_signal(signal.SIGINT)
    return recorder.wait(seconds)


def disk_full(t, tools, reader, ns, work):
    """Room for two blocks of 15 channels: the third write fails, kivorec
    says which block and why, and ends with -1; two whole blocks stay."""
    block = 2592 * 1000
    with Tmpfs(os.path.join(work, "full"), 2 * block + 65536) as disk:
        rec = start_listening_kivorec(t, tools, 15, disk.path, ns, "full", "disk full")
        if rec is None:
            return
        run_kivosim(tools, RECORDER_PORT, 15, ["--count", "4000", "--rate", "4000", "--content", "pattern"], ns)
        status = rec.wait(30)
        out, err = recorder_output(disk.path, "full")
        t.check(status == FAILURE, "disk full: status %d, expected 255", status)
        t.check("cannot write block 3 to " in err and "No space left on device" in err,
                "disk full: the failed block is reported: %s", err.strip())
        dat = sample_files(disk.path)[0]
        slots, problem = check_stream(reader, dat)
        t.check(os.path.getsize(dat) == 2 * block and slots == 2000 and not problem,
                "disk full: two whole blocks in order (%d bytes, %d slots) %s", os.path.getsize(dat), slots, problem)
        meta = metadata_of(dat)
        t.check(meta["ended"] == "write error" and meta["blocks_written"] == 2 and meta["write_errors"] == 1,
                "disk full: metadata ended %r, %r blocks, %r write errors", meta["ended"], meta["blocks_written"],
                meta["write_errors"])
        print("disk full: status %d; %s" % (status, err.strip().splitlines()[-1]))


def folder_removed(t, tools, ns, work):
    """The folder removed while kivorec writes into it: the blocks go with
    it; kivorec says so and ends with -1 rather than 0."""
    folder = fresh(os.path.join(work, "removed", "samples"))
    rec = start_listening_kivorec(t, tools, 8, folder, ns, "removed", "removed folder")
    if rec is None:
        return
    run_kivosim(tools, RECORDER_PORT, 8, ["--count", "2000", "--rate", "20000"], ns)
    shutil.rmtree(folder)
    run_kivosim(tools, RECORDER_PORT, 8, ["--count", "1000", "--rate", "20000"], ns)
    wait_recorded(folder, 3000, "removed")
    status = stop(rec)
    out, err = recorder_output(folder, "removed")
    t.check(status == FAILURE, "removed folder: status %d, expected 255", status)
    t.check("was removed while it was written: the 3 blocks saved to it are lost" in err,
            "removed folder: the loss is reported: %s", err.strip())
    print("removed folder: status %d; %s" % (status, " / ".join(err.strip().splitlines())))


def folder_read_only(t, tools, reader, ns, work):
    """The folder made read-only (immutable) while kivorec records: its open
    file keeps every block; only the metadata cannot be completed, and
    kivorec says so."""
    folder = fresh(os.path.join(work, "readonly", "samples"))
    rec = start_listening_kivorec(t, tools, 8, folder, ns, "readonly", "read-only folder")
    if rec is None:
        return
    run_kivosim(tools, RECORDER_PORT, 8, ["--count", "2000", "--rate", "20000"], ns)
    locked = subprocess.run(["chattr", "+i", folder], stderr=subprocess.PIPE).returncode == 0
    if not locked:
        os.chmod(folder, 0o555)
    run_kivosim(tools, RECORDER_PORT, 8, ["--count", "1000", "--rate", "20000", "--start-seq", "2000"], ns)
    wait_recorded(folder, 3000, "readonly")
    status = stop(rec)
    if locked:
        subprocess.run(["chattr", "-i", folder])
    else:
        os.chmod(folder, 0o755)
    out, err = recorder_output(folder, "readonly")
    dat = sample_files(folder)[0]
    slots, problem = check_stream(reader, dat, first_index=0)
    # The second kivosim run numbers its datagrams from 0 again in the header's
    # running index: the check stops there, at slot 2000.
    t.check(os.path.getsize(dat) == 3 * 1388000 and slots >= 2000, "read-only folder: every block in the file (%d bytes)",
            os.path.getsize(dat))
    if locked or not is_root():
        t.check(status == 0 and "cannot complete" in err, "read-only folder: status %d, metadata failure reported: %s",
                status, err.strip())
    print("read-only folder (%s): status %d; %s" % ("chattr +i" if locked else "chmod", status, err.strip()))


def folder_missing(t, tools, ns, work):
    """Started in a folder that no longer exists: nothing can be created,
    kivorec says so and ends with -1 before it receives anything."""
    base = fresh(os.path.join(work, "missing"))
    script = 'mkdir gone && cd gone && rmdir ../gone && exec "$0" 8'
    result = subprocess.run((ns.prefix if ns else []) + ["sh", "-c", script, tools.kivorec], cwd=base,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=30)
    t.check(result.returncode == FAILURE and "cannot create" in result.stderr and
            "No such file or directory" in result.stderr,
            "missing folder: status %d: %s", result.returncode, result.stderr.strip())
    print("missing folder: status %d; %s" % (result.returncode, result.stderr.strip()))


def port_taken(t, tools, ns, work):
    """Port 55000 held without address reuse: bind fails, -1, the empty file
    and its metadata ("socket error") stay."""
    folder = fresh(os.path.join(work, "port", "samples"))
    holder = subprocess.Popen((ns.prefix if ns else []) + [
        sys.executable, "-c",
        "import socket,sys,time; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(('', %d)); "
        "print('bound', flush=True); time.sleep(30)" % RECORDER_PORT], stdout=subprocess.PIPE, text=True)
    holder.stdout.readline()
    try:
        result = subprocess.run((ns.prefix if ns else []) + [tools.kivorec, "8"], cwd=folder,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=30)
    finally:
        holder.kill()
        holder.wait()
    t.check(result.returncode == FAILURE and "bind() failed: Address already in use" in result.stderr,
            "port taken: status %d: %s", result.returncode, result.stderr.strip())
    files = sample_files(folder)
    t.check(len(files) == 1 and os.path.getsize(files[0]) == 0 and metadata_of(files[0])["ended"] == "socket error",
            "port taken: the empty file and its metadata stay")
    print("port taken: status %d; %s" % (result.returncode, result.stderr.strip()))


def main():
    tools = Tools(sys.argv[1])
    work = fresh(sys.argv[2])
    reader = import_kivo()
    t = Failures()
    ns = NetNs.make("faults", fallback=True)
    try:
        folder_removed(t, tools, ns, work)
        folder_read_only(t, tools, reader, ns, work)
        folder_missing(t, tools, ns, work)
        port_taken(t, tools, ns, work)
        if is_root():
            disk_full(t, tools, reader, ns, work)
        else:
            print("note: disk full not tried: mounting a tmpfs needs root")
    finally:
        if ns:
            ns.close()
    t.finish()


if __name__ == "__main__":
    main()
