"""What the atheris harnesses of the file readers share: the scratch file
each input is written to, the check of a refusal's text, and the bound on
the CPU time of one input. Imported by fuzz_ifc.py and fuzz_landxml.py
from this folder (their own folder is the first on sys.path)."""
import math
import os
import sys
import tempfile
import time

import atheris


class Finding(Exception):
    """What the reader did that it must not do."""


def scratch_file(variable, name):
    """The file each input is written to, in the folder the environment
    variable names (the run script makes and removes it; libFuzzer ends the
    process with exit(), so no Python cleanup runs), else in a new one."""
    return os.path.join(os.environ.get(variable) or tempfile.mkdtemp(prefix="fuzz-"), name)


def check_station_range(a):
    """A loaded alignment has elements and a finite, ordered station range."""
    if not (len(a) >= 1 and math.isfinite(a.start_station) and math.isfinite(a.end_station)
            and a.start_station <= a.end_station):
        raise Finding("loaded alignment with a bad station range: %r" % (a,))


def one_line_naming(exc, path):
    """A refusal's text must be one line that starts with the file's name."""
    text = str(exc)
    if "\n" in text or not text.startswith(path):
        raise Finding("%s text is not one line naming the file: %r" % (type(exc).__name__, text))


def fuzz(path, seconds, read):
    """Runs libFuzzer over read(path), each input written to path first; an
    input that takes more than ``seconds`` of CPU time is a finding."""
    def test_one_input(data):
        with open(path, "wb") as f:
            f.write(data)
        began = time.process_time()
        read(path)
        spent = time.process_time() - began
        if spent > seconds:
            raise Finding("%.2f s of CPU time for one input" % spent)

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
