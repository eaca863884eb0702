"""Writes the seed corpus of fuzz_engine (run once; the files are kept in git).

    python3 fuzz/make_engine_corpus.py [SHARED_LANDXML_DIR]

Each seed is one real alignment as fuzz_engine reads it (every value as its
eight raw bytes), followed by one query of each kind: the sample ICD files
under examples/ and the LandXML files beside the checkout (shared/landxml,
or the folder given), read with curvixkit, which must be installed. A few
hand-made chains add the degenerate shapes: zero lengths, a full circle,
a clothoid through zero curvature, explicit starts that leave gaps.
"""
import glob
import math
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
OUT = os.path.join(HERE, "corpus", "engine")
MAX_ELEMENTS = 64          # fuzz_engine reads at most this many

RAW = 255                  # tag: eight raw bytes follow
NEAR = 140                 # station tag: a position in the range (16 bits)
POINT_NEAR = 100           # coordinate tag: near a point of the alignment


def raw(v):
    return bytes([RAW]) + struct.pack("<d", float(v))


def chain(start_station, x, y, azimuth, descs):
    """descs: (length, k0, k1, start or None, azimuth or None) as Engine.inputs() gives them."""
    out = bytearray(raw(start_station) + raw(x) + raw(y) + raw(azimuth))
    descs = list(descs)[:MAX_ELEMENTS]
    out.append(len(descs))
    for length, k0, k1, start, az in descs:
        kind = 0 if k0 == 0.0 and k1 == 0.0 else (1 if k0 == k1 else 2)
        out.append((start is not None) | (az is not None) << 1 | kind << 2)
        out += raw(length)
        if kind == 1:
            out += raw(k0)
        elif kind == 2:
            out += raw(k0) + raw(k1)
        if start is not None:
            out += raw(start[0]) + raw(start[1])
        if az is not None:
            out += raw(az)
    return bytes(out)


def u16(fraction):
    return struct.pack("<H", int(round(fraction * 65535)))


def near_point(fraction, spread=3):
    """A coordinate pair near the alignment's point at a fraction of its range."""
    return bytes([POINT_NEAR]) + u16(fraction) + bytes([spread]) + u16(0.7) + u16(0.2)


def queries():
    """One query of each kind (fuzz_engine: the code modulo 6 picks it, bit 3 a flag)."""
    q = bytearray()
    q += bytes([0, NEAR]) + u16(0.5) + raw(3.5)               # point with an offset
    q += bytes([12, 70, 3]) + raw(-2.0)                       # extended point past a joint
    q += bytes([1, NEAR]) + u16(0.25)                         # azimuth, curvature, index
    q += bytes([3]) + near_point(0.3) + bytes([NEAR]) + u16(0.6)   # nearest
    q += bytes([4]) + near_point(0.8, 1)                      # every local minimum
    q += bytes([5, 1]) + near_point(0.1, 4) + near_point(0.9, 4) + near_point(0.5, 6)
    q += bytes([29]) + near_point(0.2, 5) + near_point(0.7, 5)   # the whole line
    return bytes(q)


def real_alignments(shared):
    import curvixkit
    paths = sorted(glob.glob(os.path.join(REPO, "examples", "*.icd")))
    paths += sorted(glob.glob(os.path.join(shared, "*.xml")))
    for path in paths:
        names = [None]
        if path.endswith(".xml"):
            names = curvixkit.Alignment.landxml_names(path)
        for name in names:
            try:
                a = curvixkit.Alignment.read(path, name=name)
            except ValueError as exc:
                print("skipped %s %s: %s" % (path, name or "", exc))
                continue
            x, y, az = a._engine.start
            label = os.path.splitext(os.path.basename(path))[0]
            if name:
                label += "-" + "".join(c if c.isalnum() else "_" for c in name)
            yield label, chain(a.start_station, x, y, az, a._engine.inputs())


def made_chains():
    r = 500.0
    yield "zero_lengths", chain(0, 0, 0, 0, [(0, 0, 0, None, None), (0, 0.01, 0.01, None, None),
                                              (10, 0, 0, None, None), (0, 0, 0.02, None, None)])
    yield "full_circle", chain(0, 0, 0, 0, [(2 * math.pi * r, 1 / r, 1 / r, None, None)])
    yield "many_turns", chain(0, 0, 0, 0, [(2000 * math.pi, 0.5, 0.5, None, None)])
    yield "clothoid_through_zero", chain(100, 1e5, 2e5, 1.0, [(200, -0.01, 0.01, None, None)])
    yield "gaps", chain(0, 0, 0, 0, [(100, 0, 0, None, None), (100, 0.002, 0.002, (150, 10), None),
                                     (50, 0, 0, None, 3.0), (80, 0.001, -0.003, (0, 0), 1.0)])
    yield "far_away", chain(1e7, 4e6, 5e6, -20.0, [(1e4, 0, 1e-4, None, None), (1e4, 1e-4, 1e-4, None, None)])


def shared_folder():
    return sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(REPO), "shared", "landxml")


def write_seeds(out, seeds, tail):
    """Each (label, data) as out/label.bin, the queries in tail after it."""
    os.makedirs(out, exist_ok=True)
    count = 0
    for label, data in seeds:
        with open(os.path.join(out, label + ".bin"), "wb") as f:
            f.write(data + tail)
        count += 1
    print("wrote %d seeds to %s" % (count, out))


def main():
    write_seeds(OUT, list(real_alignments(shared_folder())) + list(made_chains()), queries())


if __name__ == "__main__":
    main()
