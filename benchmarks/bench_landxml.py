"""Reading a large LandXML file: one alignment behind a big TIN surface.

    python benchmarks/bench_landxml.py [--size-mb 1024] [--keep]

Writes a file of about --size-mb MB into a temporary folder (a Surfaces
element with points and faces as terrain exports write them, then one
alignment of lines, arcs and clothoids), reads the alignment with
curvixkit.landxml.read_landxml and prints the seconds and the peak resident
memory of the read (a fresh process, so the generation does not count).
"""

from __future__ import annotations

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

ALIGNMENT = """<Alignments><Alignment name="Main" staStart="1000">
<CoordGeom>
<Line length="100"><Start>0 0</Start><End>100 0</End></Line>
<Spiral spiType="clothoid" rot="cw" radiusStart="INF" radiusEnd="500" length="50"><Start>100 0</Start><PI>116.666 0</PI><End>149.979 -0.833</End></Spiral>
<Curve rot="cw" radius="500" length="200"><Start>149.979 -0.833</Start><Center>149.979 -500.833</Center><End>340.0 -50.0</End></Curve>
</CoordGeom>
<StaEquation staInternal="1200" staAhead="5000"/>
</Alignment></Alignments>
"""


def generate(path, size_mb):
    target = size_mb * 1024 * 1024
    with open(path, "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<LandXML xmlns="http://www.landxml.org/'
                'schema/LandXML-1.2" version="1.2">\n<Units><Metric linearUnit="meter" '
                'angularUnit="radians" directionUnit="radians"/></Units>\n<Surfaces>\n'
                '<Surface name="ground"><Definition surfType="TIN">\n<Pnts>\n')
        points = 0
        block = []
        while f.tell() < target * 0.55:
            for _ in range(10000):
                points += 1
                block.append('<P id="%d">%.4f %.4f %.3f</P>\n' % (
                    points, 6876000.0 + points * 0.013, 24525000.0 + (points % 997) * 1.1,
                    120.0 + (points % 131) * 0.01))
            f.write("".join(block))
            block = []
        f.write("</Pnts>\n<Faces>\n")
        faces = 0
        while f.tell() < target:
            for _ in range(10000):
                faces += 1
                a = 1 + faces % (points - 2)
                block.append("<F>%d %d %d</F>\n" % (a, a + 1, a + 2))
            f.write("".join(block))
            block = []
        f.write("</Faces>\n</Definition></Surface>\n</Surfaces>\n")
        f.write(ALIGNMENT)
        f.write("</LandXML>\n")
    return points, faces


def read_once(path):
    from curvixkit.landxml import read_landxml
    began = time.perf_counter()
    a = read_landxml(path)
    seconds = time.perf_counter() - began
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print("read %d elements, %d equation(s) in %.2f s; peak RSS %.1f MiB"
          % (len(a.elements), len(a.equations), seconds, peak_kib / 1024.0))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=1024, help="file size in MB (1024)")
    parser.add_argument("--keep", action="store_true", help="keep the generated file")
    parser.add_argument("--read", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.read:
        read_once(args.read)
        return
    folder = tempfile.mkdtemp(prefix="bench_landxml_")
    path = os.path.join(folder, "big.xml")
    began = time.perf_counter()
    points, faces = generate(path, args.size_mb)
    size = os.path.getsize(path)
    print("generated %s: %.1f MB, %d points, %d faces in %.1f s"
          % (path, size / 1e6, points, faces, time.perf_counter() - began))
    try:
        subprocess.run([sys.executable, __file__, "--read", path], check=True)
    finally:
        if not args.keep:
            os.remove(path)
            os.rmdir(folder)


if __name__ == "__main__":
    main()
