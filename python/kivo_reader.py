#!/usr/bin/env python3
"""The recording reader under its older name: everything of kivo.recording
(open_recording, read, Recording, ...) and the same command line,
python3 kivo_reader.py FILE [--channels N] [--kind K].

The reader itself lives in the package kivo. It is taken from the kivo
package where Python finds one (installed, or built with the acquisition
module), else from the kivo folder beside this file, without the package's
acquisition module, so that reading needs nothing built.
"""

import importlib.util
import os
import sys

try:
    import kivo.recording as _module
except ImportError:
    _module = None
if _module is None:
    _path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "kivo", "recording.py")
    _spec = importlib.util.spec_from_file_location("kivo_recording", _path)
    _module = importlib.util.module_from_spec(_spec)
    _spec.loader.exec_module(_module)
globals().update({k: v for k, v in vars(_module).items() if not k.startswith("__")})

if __name__ == "__main__":
    sys.exit(main(name="kivo_reader"))
