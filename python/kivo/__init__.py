"""Kivo: acquire from a Kivo data-acquisition device, and read its recordings.

    import kivo
    with kivo.Acquisition(55123, 8, "/data") as acq:
        frame = acq.read(timeout=1.0)       # None, or sequence_no, stamp, samples
        new = acq.read_samples(timeout=1.0)  # every datagram since the last call
        print(acq.status()["datagrams"])
    rec = kivo.read_recording(path)          # a sample file, memory-mapped

Acquisition runs the same acquisition engine as the velto plug-in: the same
receiver, band filter, sample files and metadata, and the same counters.
"""

import importlib

from kivo.recording import Recording, read_recording

# Reading a recording needs numpy alone: the acquisition engine's module is
# loaded when one of its names is first used, so that the package reads files
# from the source tree too, and from a sanitizer build's folder into a Python
# that does not preload the sanitizer's runtime.
_ENGINE_NAMES = {"Acquisition": "kivo.acquisition", "Datagram": "kivo._kivo", "KivoError": "kivo._kivo",
                 "KivoWarning": "kivo._kivo", "Samples": "kivo._kivo", "__version__": "kivo._kivo"}

__all__ = ["Acquisition", "Datagram", "KivoError", "KivoWarning", "Recording", "Samples", "read_recording",
           "__version__"]


def __getattr__(name):
    if name not in _ENGINE_NAMES:
        raise AttributeError("module 'kivo' has no attribute %r" % (name,))
    value = getattr(importlib.import_module(_ENGINE_NAMES[name]), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_ENGINE_NAMES))
