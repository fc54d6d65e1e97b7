#!/usr/bin/env python3
"""The README's code blocks for users, run as a user types them, so that the
README cannot drift from what the programs do: every ```matlab block in
Octave (with velto and kivo_read on the path) and every ```python block in
Python (with the package kivo), one after the other in one session each,
against kivosim sending 8 channels to port 55000. The user part is what comes
before "## For developers"; a block there that is not meant to run says so
with "no-run" in its fence, and any other block fails the test.

usage: test_readme.py README KIVOSIM WORK_DIR octave OCTAVE VELTO_DIR MATLAB_DIR
       test_readme.py README KIVOSIM WORK_DIR python PYTHON
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys

FENCE = re.compile(r"^(\s*)```(.*)$")
DEVELOPERS = "\n## For developers"
LANGUAGES = {"octave": "matlab", "python": "python"}


def user_blocks(text):
    """(line, language, tags, code) of each fenced block before the developers' part."""
    if DEVELOPERS not in text:
        sys.exit("README: no '## For developers' section ends the user part")
    blocks, open_block = [], None
    for number, line in enumerate(text.split(DEVELOPERS, 1)[0].splitlines(), 1):
        fence = FENCE.match(line)
        if open_block is None:
            if fence:
                words = fence.group(2).split()
                open_block = (number, words[0] if words else "", words[1:], fence.group(1), [])
        elif fence and not fence.group(2).strip():
            start, language, tags, indent, code = open_block
            blocks.append((start, language, tags, "\n".join(code) + "\n"))
            open_block = None
        else:
            open_block[4].append(line[len(open_block[3]):] if line.startswith(open_block[3]) else line)
    if open_block is not None:
        sys.exit("README line %d: a code block that never ends" % open_block[0])
    return blocks


def runnable(blocks, language):
    """The blocks to run in `language`; fails on a block neither run nor marked."""
    unmarked = [line for line, lang, tags, _ in blocks
                if "no-run" not in tags and lang not in LANGUAGES.values()]
    if unmarked:
        sys.exit("README lines %s: a block for users that is neither matlab nor python, nor marked "
                 "no-run" % unmarked)
    return [(line, code) for line, lang, tags, code in blocks if lang == language and "no-run" not in tags]


def octave_script(blocks, velto_dir, matlab_dir):
    """One script: the set-up a user's installation makes, then each block,
    stopping with its README line at the first error."""
    parts = ["warning ('off', 'Octave:gnuplot-graphics');", "graphics_toolkit ('gnuplot');",
             "set (0, 'defaultfigurevisible', 'off');",
             "try, pkg load signal, catch, end",
             "addpath (%s, %s);" % (octave_string(velto_dir), octave_string(matlab_dir))]
    for line, code in blocks:
        parts += ["try", code,
                  "catch err",
                  "  fprintf (2, 'README line %d: %%s\\n', err.message);" % line,
                  "  exit (1);",
                  "end"]
    # The recording read back holds what the first session recorded.
    parts.append("if (rec.slots < 1000) fprintf (2, 'rec holds %d slots\\n', rec.slots); exit (1); end")
    return "\n".join(parts) + "\n"


def octave_string(text):
    return "'" + text.replace("'", "''") + "'"


def python_script(blocks):
    return ("import json, sys\n"
            "namespace = {'__name__': '__main__'}\n"
            "for line, code in json.loads(%r):\n"
            "    exec(compile(code, 'README.md, the block at line %%d' %% line, 'exec'), namespace)\n"
            "# The recording read back holds what the first session recorded.\n"
            "assert namespace['rec'].slots >= 1000, namespace['rec'].slots\n"
            % json.dumps(blocks))


def run(command, work, env=None):
    out = subprocess.run(command, cwd=work, capture_output=True, text=True, timeout=600, env=env)
    print(out.stdout)
    print(out.stderr, file=sys.stderr)
    return out


def main():
    readme, kivosim, work, language = sys.argv[1:5]
    rest = sys.argv[5:]
    with open(readme, encoding="utf-8") as f:
        blocks = runnable(user_blocks(f.read()), LANGUAGES[language])
    if not blocks:
        sys.exit("README: no %s block to run" % LANGUAGES[language])
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    work = os.path.realpath(work)
    sim = subprocess.Popen([kivosim, "--port", "55000", "--channels", "8", "--rate", "1000", "--quiet"],
                           stdout=subprocess.DEVNULL)
    try:
        if language == "octave":
            octave, velto_dir, matlab_dir = rest
            with open(os.path.join(work, "readme_blocks.m"), "w") as f:
                f.write(octave_script(blocks, velto_dir, matlab_dir))
            out = run([octave, "--no-gui", "--norc", "--no-history", "--quiet", "readme_blocks.m"], work)
            # The first session names the file it records to, in the folder it ran in.
            named = "Samples will be saved to %s/" % work in out.stdout
        else:
            with open(os.path.join(work, "readme_blocks.py"), "w") as f:
                f.write(python_script(blocks))
            env = dict(os.environ, MPLBACKEND="Agg")
            out = run([rest[0], "readme_blocks.py"], work, env)
            named = any(line.endswith("_kivo_samples.dat") and os.path.isfile(os.path.join(work, line))
                        for line in out.stdout.splitlines())
    finally:
        sim.send_signal(signal.SIGINT)
        sim.wait(timeout=60)
    failures = []
    if out.returncode != 0:
        failures.append("the %s blocks failed (status %d)" % (language, out.returncode))
    if not named:
        failures.append("the first session did not name the file it recorded to")
    recordings = [name for name in os.listdir(work) if name.endswith("_kivo_samples.dat")]
    if not recordings:
        failures.append("no recording in %s" % work)
    print("\n".join(failures) or "ALL PASSED: %d %s blocks" % (len(blocks), LANGUAGES[language]))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
