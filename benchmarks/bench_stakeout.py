"""Stake-out output rate and memory: ``curvix stakeout`` against a plain loop.

Run:  python benchmarks/bench_stakeout.py [--rows 1000000]

Each run is a child process, timed from start to exit, with its peak
resident memory from the kernel (wait4):
- ``curvix stakeout`` on the 10 km sample with a step giving ROWS stations,
  offsets -3.5,0,3.5 (three lines per station), as the table, as CSV and
  (where ezdxf is installed) as DXF, written to /dev/null;
- the baseline, measured in the same run: a plain Python loop over the
  legacy ``curvix.PQX`` that a user would write, get_coordinate and get_dir
  per station, the offset points from the direction, one CSV line per
  station and offset written to /dev/null.
Rates are stations per second; the ratio is baseline time / stakeout time.
"""
import argparse
import importlib.util
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SAMPLE = HERE.parent / "examples" / "railway_10km.icd"

BASELINE = r"""
import sys
import curvix
p = curvix.PQX(sys.argv[1])
start, end, n = p.start_pk, p.end_pk, int(sys.argv[2])
step = (end - start) / n
offsets = (-3.5, 0.0, 3.5)
with open("/dev/null", "w") as out:
    out.write("station,offset,x,y\n")
    for i in range(n):
        s = start + i * step
        v = p.get_coordinate(s)
        d = p.get_dir(s, 1e-3)
        x, y, dx, dy = v.X(), v.Y(), d.X(), d.Y()
        for o in offsets:
            # right of travel: the direction turned clockwise, (dy, -dx)
            out.write("%r,%r,%r,%r\n" % (s, o, x + o * dy, y - o * dx))
"""


def run(argv):
    """Wall seconds and peak RSS (MiB) of a child process."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") \
        else status >> 8
    if proc.returncode != 0:
        raise SystemExit("failed (%d): %s" % (proc.returncode, " ".join(argv)))
    return seconds, usage.ru_maxrss / 1024.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1000000, help="stations (default 10^6)")
    args = parser.parse_args()

    from curvixkit import Alignment
    a = Alignment.from_icd(SAMPLE)
    step = a.length / args.rows
    print("%d stations x 3 offsets on %s (step %.6f m)\n" % (args.rows, SAMPLE.name, step))
    print("%-36s %9s %14s %10s %8s" % ("run", "seconds", "stations/s", "peak MiB", "ratio"))
    base_s, base_mb = run([sys.executable, "-c", BASELINE, str(SAMPLE), str(args.rows)])
    print("%-36s %9.2f %14.0f %10.1f %8s" % ("baseline: PQX loop, CSV", base_s,
                                             args.rows / base_s, base_mb, "1.00"))
    formats = ("table", "csv") + (("dxf",) if importlib.util.find_spec("ezdxf") else ())
    for fmt in formats:
        seconds, mb = run([sys.executable, "-m", "curvixkit", "stakeout", str(SAMPLE),
                           "--step", repr(step), "--offsets", "-3.5,0,3.5", "--format", fmt,
                           "-o", os.devnull])
        print("%-36s %9.2f %14.0f %10.1f %8.2f" % ("curvix stakeout --format " + fmt, seconds,
                                                   args.rows / seconds, mb, base_s / seconds))
    # Memory stays flat: a tenth of the rows needs about the same.
    seconds, mb = run([sys.executable, "-m", "curvixkit", "stakeout", str(SAMPLE), "--step",
                       repr(step * 10), "--offsets", "-3.5,0,3.5", "--format", "csv",
                       "-o", os.devnull])
    print("%-36s %9.2f %14.0f %10.1f" % ("same, CSV, a tenth of the rows", seconds,
                                         args.rows / 10 / seconds, mb))


if __name__ == "__main__":
    main()
