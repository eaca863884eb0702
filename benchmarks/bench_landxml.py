"""Reading a large LandXML file: one alignment behind a big TIN surface.

    python benchmarks/bench_landxml.py [--size-mb 1024] [--keep]
    python benchmarks/bench_landxml.py --elements 1000,100000,1000000

Writes a file of about --size-mb MB into a temporary folder (a Surfaces
element with points and faces as terrain exports write them, then one
alignment of lines, arcs and clothoids), reads the alignment with
curvixkit.io.landxml.read_landxml and prints the seconds and the peak resident
memory of the read (a fresh process, so the generation does not count).

--elements writes, for each count, an alignment of that many elements
(straights, clothoids and arcs in turn, by Alignment.to_landxml) and prints
the CPU time per element of Alignment.from_landxml against lxml's own parse
of the same file into a tree (etree.parse, the least any lxml reader does).
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
    from curvixkit.io.landxml import read_landxml
    began, cpu = time.perf_counter(), time.process_time()
    a = read_landxml(path)
    seconds, cpu = time.perf_counter() - began, time.process_time() - cpu
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print("read %d elements, %d equation(s) in %.2f s (%.2f s of CPU); peak RSS %.1f MiB"
          % (len(a.elements), len(a.equations), seconds, cpu, peak_kib / 1024.0))


def many_elements(counts):
    import gc
    from lxml import etree
    from curvixkit import Alignment
    cycle = [{"kind": "line", "length": 40.0},
             {"kind": "clothoid", "length": 30.0, "start_radius": float("inf"),
              "end_radius": 400.0, "turn": "right"},
             {"kind": "arc", "length": 20.0, "radius": 400.0, "turn": "right"},
             {"kind": "clothoid", "length": 30.0, "start_radius": 400.0,
              "end_radius": float("inf"), "turn": "right"}]
    folder = tempfile.mkdtemp(prefix="bench_landxml_")
    path = os.path.join(folder, "many.xml")
    print("%10s %8s %14s %14s %7s" % ("elements", "MB", "from_landxml", "etree.parse", "ratio"))
    try:
        for n in counts:
            Alignment.from_elements(0.0, 2.5e6, 6.7e6, 0.3, [cycle[k % 4] for k in range(n)]
                                    ).to_landxml(path)
            gc.collect()
            began = time.process_time()
            etree.parse(path)
            parse = time.process_time() - began
            gc.collect()
            began = time.process_time()
            a = Alignment.from_landxml(path)
            read = time.process_time() - began
            assert len(a.elements) == n
            print("%10d %8.1f %11.1f us %11.1f us %6.1fx" % (
                n, os.path.getsize(path) / 1e6, read / n * 1e6, parse / n * 1e6, read / parse))
    finally:
        os.remove(path)
        os.rmdir(folder)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mb", type=int, default=1024, help="file size in MB (1024)")
    parser.add_argument("--keep", action="store_true", help="keep the generated file")
    parser.add_argument("--elements", help="comma-separated element counts: time reading "
                        "alignments of that many elements instead")
    parser.add_argument("--read", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.read:
        read_once(args.read)
        return
    if args.elements:
        many_elements([int(n) for n in args.elements.split(",")])
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
