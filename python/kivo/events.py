"""The events file beside a recording (<base>_kivo_events.tsv): one marked
event a row in the BIDS events layout, tab-separated under a header row:
onset (seconds from the recording's first sample), duration, sample (the row
of the raw file's samples, from 0), value (a whole number), stamp (seconds
since 1970) and text; "n/a" where a value is not known."""

import os
import re

NOT_AVAILABLE = "n/a"
_TAIL = re.compile(r"_kivo_(filtered_)?samples\.dat$")


def events_path(sample_path):
    """x/y_kivo_samples.dat and x/y_kivo_filtered_samples.dat -> x/y_kivo_events.tsv;
    another name loses its extension and gets _kivo_events.tsv."""
    path = os.fspath(sample_path)
    if _TAIL.search(path):
        return _TAIL.sub("", path) + "_kivo_events.tsv"
    return os.path.splitext(path)[0] + "_kivo_events.tsv"


def _number(text, kind, where):
    if text == NOT_AVAILABLE:
        return None
    try:
        value = kind(text)
    except ValueError:
        raise ValueError("%s: %r is not a number or n/a" % (where, text)) from None
    if kind is int and value < 0:
        raise ValueError("%s: %r is negative" % (where, text))
    return value


def read_events(path):
    """The rows of the events file at `path` as a list of dicts (onset,
    duration, sample, value, stamp, text; None for n/a); [] when there is no
    such file. Raises ValueError naming the line that cannot be read."""
    if not os.path.isfile(path):
        return []
    with open(path, encoding="utf-8", errors="replace", newline="") as f:
        lines = f.read().lstrip("\ufeff").splitlines()
    if not lines:
        raise ValueError("%s has no header row" % path)
    columns = lines[0].split("\t")
    if "value" not in columns:
        raise ValueError("%s: its header row names no \"value\" column" % path)
    kinds = {"onset": float, "duration": float, "sample": int, "value": int, "stamp": float}
    events = []
    for number, line in enumerate(lines[1:], 2):
        if not line:
            continue
        fields = dict(zip(columns, line.split("\t")))
        where = "%s line %d" % (path, number)
        event = {name: _number(fields.get(name, NOT_AVAILABLE), kind, where) for name, kind in kinds.items()}
        text = fields.get("text", NOT_AVAILABLE)
        event["text"] = None if text == NOT_AVAILABLE else text
        if event["value"] is None:
            raise ValueError("%s: the value is n/a" % where)
        events.append(event)
    return events
