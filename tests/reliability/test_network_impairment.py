#!/usr/bin/env python3
"""Network impairment between two network namespaces: kivosim in a "device"
namespace sends over a veth pair (MTU 1500) to velto (in Octave) and to
kivorec in a "host" namespace, while the device side's egress loses,
reorders and duplicates datagrams. 2592-byte datagrams (15 channels) are
cut into two IP fragments on the way; 1388-byte ones (16 channels) are not.

For each stream the figures must agree:
  - what the impairment dropped (tc's own counters) is what never arrived:
    kivosim's count of sent datagrams less the distinct sequence numbers in
    the sample file;
  - what arrived (the host namespace's UDP InDatagrams) is what velto's
    status and the metadata counted, and what the file holds;
  - the breaks in the numbering in the file (a slot not numbered previous
    + 1) are what velto('status'), the metadata and kivoinspect report.

The impairment is sch_netem's (random loss, reordering, duplication) where
the kernel has it. Where it has not, tc builds a deterministic one from
parts that kernels without netem usually have - HTB classes selected by
u32 filters: a class whose queue holds nothing (loss; for fragmented
datagrams only the second fragment goes, so reassembly fails), a slow class
(reordering) and a mirror onto a second veth pair (duplication) - and says so.
With neither, or without root or namespaces, the test is skipped.

usage: test_network_impairment.py BUILD_DIR WORK_DIR VELTO_PORT [--count N] [--rate R]
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

from kivo_rig import (RECORDER_PORT, Failures, NetNs, Tools, VeltoSession, import_kivo, kivoinspect, metadata_of,
                      recorder_output, run_kivosim, sample_files, skip, start_listening_kivorec,
                      wait_recorded)

DEVICE_IP, HOST_IP = "10.77.0.1", "10.77.0.2"
SECOND_FRAGMENT_OFFSET = 1480 // 8  # IP header 20 bytes, MTU 1500


def tc(ns, *args, check=True):
    return ns.run(["tc"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=check)


def probe(kind_args):
    """Whether a qdisc or filter set can be made here: (ok, why not)."""
    ns = NetNs.make("probe")
    try:
        result = tc(ns, "qdisc", "add", "dev", "lo", "root", *kind_args, check=False)
        return result.returncode == 0, result.stderr.strip()
    finally:
        ns.close()


class Link:
    """veth kd (device namespace) <-> kh (host namespace), MTU 1500; and a
    second pair kd2 <-> kh2 beside it, kh2 with kh's hardware address, over
    which mirrored copies arrive as duplicates."""

    def __init__(self, device, host):
        tag = os.getpid() % 100000
        self.kd, self.kh, self.kd2, self.kh2 = "kvd%d" % tag, "kvh%d" % tag, "kvD%d" % tag, "kvH%d" % tag
        self.device, self.host = device, host
        for ns in (device, host):
            ns.run(["sysctl", "-q", "-w", "net.ipv6.conf.all.disable_ipv6=1",
                    "net.ipv6.conf.default.disable_ipv6=1"], check=True)
        for d, h in ((self.kd, self.kh), (self.kd2, self.kh2)):
            device.run(["ip", "link", "add", d, "mtu", "1500", "type", "veth", "peer", "name", h,
                        "netns", host.name, "mtu", "1500"], check=True)
        device.run(["ip", "addr", "add", DEVICE_IP + "/24", "dev", self.kd], check=True)
        host.run(["ip", "addr", "add", HOST_IP + "/24", "dev", self.kh], check=True)
        host_mac = json.loads(host.run(["ip", "-j", "link", "show", self.kh], stdout=subprocess.PIPE,
                                       text=True).stdout)[0]["address"]
        host.run(["ip", "link", "set", self.kh2, "address", host_mac], check=True)
        host.run(["sysctl", "-q", "-w", "net.ipv4.conf.all.rp_filter=0", "net.ipv4.conf.default.rp_filter=0"],
                 check=True)
        for ns, name in ((device, self.kd), (host, self.kh), (device, self.kd2), (host, self.kh2)):
            ns.run(["ip", "link", "set", name, "up"], check=True)
        host.run(["sysctl", "-q", "-w", "net.ipv4.conf.%s.rp_filter=0" % self.kh2], check=True)
        # Let the first datagram find its neighbour without waiting.
        device.run(["ip", "neigh", "replace", HOST_IP, "lladdr", host_mac, "dev", self.kd, "nud", "permanent"],
                   check=True)

    def clear(self):
        tc(self.device, "qdisc", "del", "dev", self.kd, "root", check=False)


class Netem:
    name = "netem (random loss 1%, duplication 1%, reordering 20% by 2 ms)"

    def apply(self, link, fragmented):
        tc(link.device, "qdisc", "add", "dev", link.kd, "root", "netem", "delay", "2ms", "reorder", "80%",
           "loss", "1%", "duplicate", "1%")

    def counts(self, link, fragmented):
        stats = json.loads(tc(link.device, "-s", "-j", "qdisc", "show", "dev", link.kd).stdout)
        dropped = sum(q.get("drops", 0) for q in stats if q.get("kind") == "netem")
        # A lost fragment loses its datagram; both fragments of one datagram
        # may be lost. Duplicates are not counted by netem.
        return {"dropped_packets": dropped, "dropped": None if fragmented else dropped, "duplicated": None}


class Classes:
    name = ("tc HTB + u32 (no netem): of every 64 datagrams one dropped, one duplicated and a run (two "
            "fragmented, four whole) sent through a slow class, so that the later ones come late")

    def apply(self, link, fragmented):
        dev, kd = link.device, link.kd
        tc(dev, "qdisc", "add", "dev", kd, "root", "handle", "1:", "htb", "default", "10")
        tc(dev, "class", "add", "dev", kd, "parent", "1:", "classid", "1:10", "htb", "rate", "10gbit", "quantum",
           "200000")
        tc(dev, "class", "add", "dev", kd, "parent", "1:", "classid", "1:20", "htb", "rate", "2mbit", "ceil",
           "2mbit", "burst", "1600", "cburst", "1600")
        tc(dev, "qdisc", "add", "dev", kd, "parent", "1:20", "handle", "20:", "pfifo", "limit", "1000")
        tc(dev, "class", "add", "dev", kd, "parent", "1:", "classid", "1:30", "htb", "rate", "10gbit", "quantum",
           "200000")
        tc(dev, "qdisc", "add", "dev", kd, "parent", "1:30", "handle", "30:", "pfifo", "limit", "0")
        if fragmented:
            # Fragments of one datagram share the IP identification.
            pick = lambda residue, mask: ["match", "u16", "0x%04x" % residue, "0x%04x" % mask, "at", "4"]
            drop = pick(7, 0x3F) + ["match", "u16", "0x%04x" % SECOND_FRAGMENT_OFFSET, "0x1fff", "at", "6"]
        else:
            # Whole datagrams: the low byte of the sequence number, at IP
            # offset 20 + 8 + 10 (u32 reads the two bytes big-endian).
            pick = lambda residue, mask: ["match", "u16", "0x%04x" % (residue << 8), "0x%04x" % (mask << 8),
                                          "at", "38"]
            drop = pick(7, 0x3F)
        filt = ["filter", "add", "dev", kd, "parent", "1:", "protocol", "ip"]
        tc(dev, *filt, "prio", "1", "u32", *drop, "flowid", "1:30")
        # The copy leaves through the second veth pair, whose far end has the
        # same address as the first one's.
        tc(dev, *filt, "prio", "2", "u32", *pick(21, 0x3F), "flowid", "1:10", "action", "mirred", "egress",
           "mirror", "dev", link.kd2)
        # HTB lets a class send one packet beyond its rate at once: a run of
        # selected datagrams (two fragmented ones, four whole ones) makes the
        # later ones wait some milliseconds, while the rest pass them.
        tc(dev, *filt, "prio", "3", "u32", *(pick(4, 0x3E) if fragmented else pick(4, 0x3C)), "flowid", "1:20")

    def counts(self, link, fragmented):
        qdiscs = json.loads(tc(link.device, "-s", "-j", "qdisc", "show", "dev", link.kd).stdout)
        dropped = sum(q.get("drops", 0) for q in qdiscs if q.get("handle") == "30:")
        mirrored = 0
        for f in json.loads(tc(link.device, "-s", "-j", "filter", "show", "dev", link.kd).stdout):
            for action in f.get("options", {}).get("actions", []):
                if action.get("kind") == "mirred":
                    mirrored += action.get("stats", {}).get("packets", 0)
        classes = tc(link.device, "-s", "class", "show", "dev", link.kd).stdout  # no JSON for HTB classes
        m = re.search(r"class htb 1:20 .*?\n\s*Sent \d+ bytes (\d+) pkt", classes)
        slowed = int(m.group(1)) if m else 0
        return {"dropped_packets": dropped, "dropped": dropped, "fragmented": fragmented, "slowed": slowed,
                "duplicated": mirrored // 2 if fragmented else mirrored}


def udp_in_datagrams(ns):
    text = ns.run(["cat", "/proc/net/snmp"], stdout=subprocess.PIPE, text=True).stdout
    rows = [line.split() for line in text.splitlines() if line.startswith("Udp:")]
    return int(rows[1][rows[0].index("InDatagrams")])


def arrivals(reader, dat):
    """The sequence numbers in the file, in arrival order, and which slots
    the readers (and kivoinspect) take for repeats of an earlier slot."""
    import numpy as np
    rec = reader.read_recording(dat)
    return np.asarray(rec.sequence_no).astype(np.int64), np.asarray(rec.stale)


def missing_between(seq):
    """Numbers after the first datagram's and below the highest that never
    came: what kivoinspect can know to be missing."""
    import numpy as np
    if len(seq) == 0:
        return 0
    first, highest = int(seq[0]), int(seq.max())
    present = np.unique(seq[(seq > first) & (seq < highest)])
    return max(highest - first - 1, 0) - len(present)


def breaks_of(seq):
    import numpy as np
    return int(np.count_nonzero(((seq[1:] - seq[:-1]) % 65536) != 1)) if len(seq) > 1 else 0


def compare(t, label, sent, udp, counted, arrived, expected, reports, inspected):
    """The common cross-check of one stream. `reports` are the sequence gaps
    that velto and the metadata report; `inspected` is kivoinspect's JSON."""
    import numpy as np
    seq, stale = arrived
    ours = seq[seq < sent]
    distinct = len(np.unique(ours))
    missing = sent - distinct
    duplicates = len(ours) - distinct
    breaks = breaks_of(seq)
    print("%s: sent %d; impairment dropped %s datagram(s) (%d packet(s)), duplicated %s, delayed %s packet(s); the host's UDP layer "
          "took %d; counted %d; file: %d distinct of %d sent -> %d missing, %d repeated, %d breaks; reported gaps %s"
          % (label, sent, expected["dropped"] if expected["dropped"] is not None else "?",
             expected["dropped_packets"], expected["duplicated"] if expected["duplicated"] is not None else "?",
             expected.get("slowed", "?"), udp, counted, distinct, sent, missing, duplicates, breaks,
             ", ".join("%s %s" % (k, v) for k, v in reports.items())), flush=True)
    if inspected:
        g = inspected["sequence_gaps"]
        print("%s: kivoinspect: %d gaps, %d numbers missing, %d late, %d repeated, %d stale slots" % (
            label, g["count"], g["missing"], g["late"], g["repeated"], inspected["stale_slots"]["count"]), flush=True)
    t.check(udp == counted, "%s: the UDP layer took %d datagrams, the recorder counted %d", label, udp, counted)
    t.check(len(seq) == counted, "%s: %d datagrams counted, %d slots in the file", label, counted, len(seq))
    if expected["dropped"] is not None:
        t.check(missing == expected["dropped"], "%s: %d missing, the impairment dropped %d", label, missing,
                expected["dropped"])
    else:
        t.check(missing <= expected["dropped_packets"] <= 2 * missing,
                "%s: %d missing for %d lost fragments", label, missing, expected["dropped_packets"])
    if expected["duplicated"] is not None and not expected.get("fragmented"):
        t.check(duplicates == expected["duplicated"], "%s: %d repeated, the impairment duplicated %d", label,
                duplicates, expected["duplicated"])
    elif expected["duplicated"] is not None:
        # Copies of fragments mostly merge with the originals in reassembly.
        t.check(duplicates <= expected["duplicated"], "%s: %d repeated, more than the %d duplicated", label,
                duplicates, expected["duplicated"])
    for name, value in reports.items():
        t.check(value == breaks, "%s: %s reports %s sequence gaps, the file has %d breaks", label, name, value, breaks)
    if t.check(inspected is not None, "%s: kivoinspect cannot read the file", label):
        # kivoinspect leaves out slots that repeat an earlier one byte for
        # byte (a duplicate in kivorec's unstamped file).
        g = inspected["sequence_gaps"]
        fresh = seq[~stale]
        t.check(g["count"] == breaks_of(fresh), "%s: kivoinspect reports %d gaps, the file has %d breaks", label,
                g["count"], breaks_of(fresh))
        t.check(g["missing"] == missing_between(fresh), "%s: kivoinspect reports %d numbers missing, %d are", label,
                g["missing"], missing_between(fresh))
        t.check(g["repeated"] + int(stale.sum()) == duplicates, "%s: kivoinspect reports %d repeated and %d stale, "
                "the file repeats %d", label, g["repeated"], int(stale.sum()), duplicates)


def velto_stream(t, tools, reader, link, impairment, work, port, nchans, count, rate):
    label = "velto %d channels" % nchans
    folder = os.path.join(work, "velto%d" % nchans, "samples")
    os.makedirs(folder)
    session = VeltoSession(tools, port, nchans, folder, ns=link.host, reads_per_second=50,
                           log=os.path.join(work, "velto%d.log" % nchans))
    if not t.check(session.wait_open(), "%s: velto did not open: %s", label, session.output()):
        return
    udp_before = udp_in_datagrams(link.host)
    fragmented = nchans == 15
    impairment.apply(link, fragmented)
    sim = run_kivosim(tools, port, nchans, ["--count", str(count), "--rate", str(rate), "--content", "pattern"],
                      link.device, host=HOST_IP)
    time.sleep(0.5)  # delayed datagrams arrive
    expected = impairment.counts(link, fragmented)
    link.clear()
    # Complete the block in progress with clean datagrams numbered on, so
    # that the file holds everything that arrived.
    got = udp_in_datagrams(link.host) - udp_before
    filler = (1000 - got % 1000) % 1000
    if filler:
        run_kivosim(tools, port, nchans, ["--count", str(filler), "--rate", "5000", "--start-seq", str(count)],
                    link.device, host=HOST_IP)
    udp = udp_in_datagrams(link.host) - udp_before
    if not t.check(wait_for(lambda: (session.status_lines() or [{}])[-1].get("blocks_saved", 0) >= udp // 1000),
                   "%s: the last block was not saved", label):
        pass
    status, final, close_text = session.stop()
    t.check(status == 0 and final is not None, "%s: Octave ended with %s: %s", label, status, session.output()[-2000:])
    if final is None:
        return
    dat = sample_files(folder)[0]
    meta = metadata_of(dat)
    _, report = kivoinspect(tools, dat)
    t.check(final["kernel_drops"] == 0 and final["failed_receives"] == 0, "%s: kernel drops or failed receives", label)
    t.check(meta["datagrams_received"] == final["datagrams"], "%s: metadata and status disagree", label)
    compare(t, label, sim.sent, udp, final["datagrams"], arrivals(reader, dat), expected,
            {"velto('status')": final["sequence_gaps"], "metadata": meta["sequence_gaps"]}, report)


def kivorec_stream(t, tools, reader, link, impairment, work, nchans, count, rate):
    label = "kivorec %d channels" % nchans
    folder = os.path.join(work, "kivorec%d" % nchans, "samples")
    os.makedirs(folder)
    rec = start_listening_kivorec(t, tools, nchans, folder, link.host, "kivorec%d" % nchans, label)
    if rec is None:
        return
    udp_before = udp_in_datagrams(link.host)
    fragmented = nchans == 15
    impairment.apply(link, fragmented)
    sim = run_kivosim(tools, RECORDER_PORT, nchans, ["--count", str(count), "--rate", str(rate), "--content",
                                                     "pattern"], link.device, host=HOST_IP)
    time.sleep(0.5)
    expected = impairment.counts(link, fragmented)
    link.clear()
    udp = udp_in_datagrams(link.host) - udp_before
    t.check(wait_recorded(folder, udp, "kivorec%d" % nchans), "%s: kivorec did not take every datagram", label)
    rec.send_signal(signal.SIGINT)
    status = rec.wait(60)
    out, err = recorder_output(folder, "kivorec%d" % nchans)
    t.check(status == 0, "%s: status %d: %s", label, status, err)
    dat = sample_files(folder)[0]
    meta = metadata_of(dat)
    _, report = kivoinspect(tools, dat)
    t.check(meta["kernel_drops"] == 0, "%s: kernel drops", label)
    compare(t, label, sim.sent, udp, meta["datagrams_received"], arrivals(reader, dat), expected,
            {"metadata": meta["sequence_gaps"]}, report)


def wait_for(condition, seconds=30):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
    return True


def main():
    args = sys.argv[1:]
    tools = Tools(args[0])
    work = args[1]
    port = int(args[2])
    count = int(args[args.index("--count") + 1]) if "--count" in args else 6000
    rate = args[args.index("--rate") + 1] if "--rate" in args else "2000"
    why = NetNs.unavailable()
    if why:
        skip(why)
    netem, netem_why = probe(["netem", "delay", "1ms"])
    if netem:
        impairment = Netem()
    else:
        htb, htb_why = probe(["htb", "default", "10"])
        if not htb:
            skip("the kernel has neither sch_netem (tc: %s) nor sch_htb (tc: %s)" % (netem_why, htb_why))
        print("note: no sch_netem in this kernel (tc: %s); using %s" % (netem_why, Classes.name), flush=True)
        impairment = Classes()
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    reader = import_kivo()
    t = Failures()
    device, host = NetNs.make("dev"), NetNs.make("host")
    try:
        link = Link(device, host)
        print("impairment: " + impairment.name, flush=True)
        if not tools.has_velto:
            print("note: no velto.mex (or no octave-cli) in this build: kivorec only", flush=True)
        for nchans in (15, 16):
            if tools.has_velto:
                velto_stream(t, tools, reader, link, impairment, work, port, nchans, count, rate)
            kivorec_stream(t, tools, reader, link, impairment, work, nchans, count, rate)
    finally:
        device.close()
        host.close()
    t.finish()


if __name__ == "__main__":
    main()
