"""kivo.Acquisition: velto's 'open', 'read', 'status' and 'close' as an object."""

import atexit
import numbers
import operator
import os
import sys
import warnings
import weakref

import numpy as np

from kivo._kivo import AcquisitionBinding, KivoError, KivoWarning

_USAGE = "Acquisition(port, nchans, savedir) or Acquisition(port, nchans, savedir, b, a)"

# Acquisitions not yet closed, closed at interpreter exit while Python still runs.
_open_acquisitions = weakref.WeakSet()


def _real(value, name):
    """A real number (bool, complex and text are not) as a float."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise KivoError("%s must be a real number" % name)
    try:
        return float(value)
    except OverflowError:
        return float("inf") if value > 0 else float("-inf")


def _coefficients(values):
    array = np.asarray(values) if values is not None else None
    if array is None or array.size == 0 or array.dtype.kind not in "iuf":
        raise KivoError("filter coefficients b and a must be non-empty real numeric arrays")
    return [float(v) for v in array.ravel()]


def _request(port, nchans, savedir, b, a):
    """The arguments as the core takes them, after the checks of their kinds
    that velto's gateway makes; the core checks their values."""
    if (b is None) != (a is None):
        raise KivoError(_USAGE)
    port = _real(port, "port")
    nchans = _real(nchans, "nchans")
    if not isinstance(savedir, (str, os.PathLike)) or not isinstance(os.fspath(savedir), str):
        raise KivoError("savedir must be a string")
    if b is None:
        return port, nchans, os.fspath(savedir), None, None
    return port, nchans, os.fspath(savedir), _coefficients(b), _coefficients(a)


def _show(printed):
    """What the acquisition printed: a note (the start line) goes to stdout,
    as the plug-in prints it; an error that did not stop the call (a file not
    created) and a warning are trouble, issued as KivoWarning."""
    for severity, text in printed:
        if severity == "note":
            sys.stdout.write(text + "\n")
        else:
            warnings.warn(text, KivoWarning, stacklevel=3)


class Acquisition(AcquisitionBinding):
    """An acquisition from a Kivo device on a UDP port, as velto('open', port,
    nchans, savedir[, b, a]) starts it: the same checks and messages, the same
    raw samples file (and, with b and a, the band-filtered file) in savedir
    with their metadata files, and the same receiver and counters.

      port     UDP port, 1 to 65535
      nchans   channel count, 1 to 16 (fixes nsamp and the datagram size)
      savedir  folder for the sample files (str or path)
      b, a     five coefficients each of a second-order Butterworth band
               filter (both or neither)

    Attributes port, nchans and nsamp (samples per channel per datagram),
    raw_file and filtered_file (the sample files it writes, absolute paths;
    "" when there is none).
    read(timeout=0.0) returns the latest datagram or None;
    read_samples(timeout=0.0) returns every datagram since the last call,
    with each sample's time on the fitted clock (kivo.Samples); status() returns
    velto('status')'s fields as a dict; mark(value, text=None) writes an event
    at this moment into the events file beside the raw file; close() ends the
    acquisition and completes the files (a second close() does nothing). It is
    a context manager; one that is garbage-collected, or still open when the
    interpreter exits, is closed the same way.

    Errors raise KivoError with the plug-in's message ("invalid # of channels
    (must be between 1 and 16)"). The start line ("UDP connection to @ port
    N opened...") goes to stdout; what the plug-in prints as warnings (on
    'close': failed writes, drops, datagrams of the wrong size, clipped
    filtered samples, files not created, ...) and files that could not be
    created are issued as KivoWarning, and so is the first datagram of a
    wrong size (a wrong channel count), at the first read(), read_samples()
    or status() after it arrived.
    Several acquisitions on different ports may run at once.
    """

    def __init__(self, port, nchans, savedir, b=None, a=None):
        """Opens the port and starts acquiring; raises KivoError when it cannot."""
        super().__init__()
        request = _request(port, nchans, savedir, b, a)
        try:
            self._nsamp = self._open(*request)
        finally:
            _show(self._take_printed())
        status = self.status()
        self._port, self._nchans = status["port"], status["nchans"]
        self._raw_file, self._filtered_file = status["raw_file"], status["filtered_file"]
        _open_acquisitions.add(self)

    port = property(lambda self: self._port, doc="the UDP port (int)")
    nchans = property(lambda self: self._nchans, doc="the channel count (int)")
    nsamp = property(lambda self: self._nsamp, doc="samples per channel in each datagram (int)")
    raw_file = property(lambda self: self._raw_file,
                        doc="the raw samples file (str, absolute path; '' when it could not be created)")
    filtered_file = property(lambda self: self._filtered_file,
                             doc="the filtered samples file (str, absolute path; '' without a filter)")

    def mark(self, value, text=None):
        """Marks an event in the recording: a row of the events file beside
        the raw file (<base>_kivo_events.tsv) with the code `value` (a whole
        number from 0 to 4294967295) and an optional short label `text` (at
        most 255 bytes in UTF-8), stamped now on the datagrams' clock and
        placed at the row of the raw file's samples that holds that moment.
        The row is written before it returns. Raises KivoError when the
        acquisition is closed or an argument is out of range."""
        try:
            code = operator.index(value)
        except TypeError:
            raise KivoError("the mark's value must be a whole number from 0 to 4294967295") from None
        if not 0 <= code <= 4294967295:
            raise KivoError("the mark's value must be a whole number from 0 to 4294967295")
        if text is not None and not isinstance(text, str):
            raise KivoError("the mark's text must be a string or None")
        self._mark(code, text or "")

    def close(self):
        """Stops the receiver and the writer, joins them, closes the socket
        and the sample files and completes their metadata. Warnings of the
        acquisition are issued as KivoWarning. Does nothing when closed."""
        _open_acquisitions.discard(self)
        self._close()
        _show(self._take_printed())

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:  # noqa: BLE001 - nothing may escape a finaliser
            pass

    def __repr__(self):
        state = "open" if self in _open_acquisitions else "closed"
        nchans = getattr(self, "_nchans", None)
        return "<kivo.Acquisition port=%s nchans=%s %s>" % (getattr(self, "_port", None), nchans, state)


@atexit.register
def _close_all():
    for acquisition in list(_open_acquisitions):
        acquisition.close()


def _forget_all_in_child():
    """A forked child's acquisitions are its parent's: each lets go of the
    child's copies of its socket and files at once (the port is then free
    again when the parent closes it) and touches nothing of the parent's."""
    for acquisition in list(_open_acquisitions):
        acquisition._forget_in_child()
    _open_acquisitions.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_all_in_child)
