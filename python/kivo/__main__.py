"""python3 -m kivo FILE [--channels N] [--kind K]: the summary of a sample file.
python3 -m kivo plot FILE [-o out.png]: a picture of it."""
import sys

if sys.argv[1:2] == ["plot"]:
    from kivo.plot import main as plot_main
    sys.exit(plot_main(sys.argv[2:]))

from kivo.recording import main  # noqa: E402

sys.exit(main(prog="python3 -m kivo"))
