"""Kivo: acquire from a Kivo data-acquisition device, and read its recordings.

    import kivo
    with kivo.Acquisition(55123, 8, "/data") as acq:
        frame = acq.read(timeout=1.0)       # None, or sequence_no, stamp, samples
        print(acq.status()["datagrams"])
    rec = kivo.read_recording(path)          # a sample file, memory-mapped

Acquisition runs the same acquisition engine as the velto plug-in: the same
receiver, band filter, sample files and metadata, and the same counters.
"""

from kivo._kivo import Datagram, KivoError, KivoWarning, __version__
from kivo.acquisition import Acquisition
from kivo.recording import Recording, read_recording

__all__ = ["Acquisition", "Datagram", "KivoError", "KivoWarning", "Recording", "read_recording",
           "__version__"]
