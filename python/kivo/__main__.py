"""python3 -m kivo FILE [--channels N] [--kind K]: the summary of a sample file."""
import sys

from kivo.recording import main

sys.exit(main(prog="python3 -m kivo"))
