"""Writes the seed corpus of fuzz_profile (run once; the files are kept in git).

    python3 fuzz/make_profile_corpus.py [SHARED_LANDXML_DIR]

Each seed is one profile as fuzz_profile reads it (every value as its eight
raw bytes), followed by one query of each kind: the ProfAlign of each LandXML
file beside the checkout (shared/landxml, or the folder given), its PVI
curves as fractions of their tangents, and a few hand-made segment chains:
grade lines, a parabola, an arc, clothoids into and out of an arc (their
radii made to fit), a step between segments within the tolerance.
Needs only the standard library (and make_engine_corpus.py beside it).
"""
import glob
import math
import os
import xml.etree.ElementTree as ET

from make_engine_corpus import NEAR, raw, shared_folder, u16, write_seeds

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "profile")
CURVES = {"none": 0, "parabola": 1, "asymmetric_parabola": 2, "arc": 3}
KINDS = {"line": 0, "parabola": 1, "arc": 2, "clothoid": 3}


def pvi_case(pvis, repeat=()):
    """pvis: (station, elevation[, curve, value[, value]]) as the engine takes them,
    of distinct stations; those in repeat are written twice."""
    def again(i):
        return b"\x00" if i in repeat else b"\x01"
    out = bytearray([1, len(pvis)]) + raw(pvis[0][0]) + raw(pvis[0][1]) + again(0)
    for i, (a, b) in enumerate(zip(pvis, pvis[1:])):
        out += raw(b[0] - a[0]) + raw((b[1] - a[1]) / (b[0] - a[0])) + again(i + 1)
    for i in range(1, len(pvis) - 1):
        p, la, lb = pvis[i], pvis[i][0] - pvis[i - 1][0], pvis[i + 1][0] - pvis[i][0]
        curve = p[2] if len(p) > 2 else "none"
        f1 = f2 = 0.0
        if curve == "parabola":
            f1 = p[3] / (2 * min(la, lb))
        elif curve == "asymmetric_parabola":
            f1, f2 = p[3] / la, p[4] / lb
        elif curve == "arc":
            ga = (p[1] - pvis[i - 1][1]) / la
            gb = (pvis[i + 1][1] - p[1]) / lb
            f1 = abs(p[3]) * math.tan(abs(math.atan(gb) - math.atan(ga)) / 2) / min(la, lb)
            f2 = p[4] if len(p) > 4 else 0.0
        out += bytes([CURVES[curve] | (8 if len(p) > 4 else 0)]) + raw(f1) + raw(f2)
    return bytes(out)


def segment_case(start, elevation, grade, segments):
    """segments: (kind, length, end grade, w or None); each follows on from the one before."""
    out = bytearray([0, len(segments)]) + raw(start) + raw(elevation) + raw(grade)
    for kind, length, end_grade, w in segments:
        flags = KINDS[kind] | (32 if w is not None else 0)
        out += bytes([flags]) + raw(length)
        if kind != "line":
            out += raw(end_grade)
        if kind == "clothoid":
            out += bytes([0 if w == 0 else (64 if w == 1 else 128 + int(round((w + 0.3) / 1.6 * 127)))])
    return bytes(out)


def queries():
    """Each kind once (fuzz_profile: the code modulo 5 picks it, bit 3 a flag)."""
    q = bytearray()
    q += bytes([0, NEAR]) + u16(0.4)                 # elevation, grade, curvatures
    q += bytes([11, 40, 1])                          # the same just past a joint, extended
    q += bytes([2, NEAR]) + u16(0.1) + bytes([NEAR]) + u16(0.9)   # 3D lengths
    q += bytes([3, 1]) + u16(0.2) + u16(0.8)         # a chord within a segment
    q += bytes([9])                                  # turning points
    q += bytes([4, 2]) + raw(0.0) + b"\x01" + raw(0.1) + b"\x02" + raw(0.1) + b"\x03" + raw(-0.05) + b"\x00"
    q += b"\x00" + raw(5e5) + raw(4e6) + raw(0.3)    # cant and frame on a straight alignment
    q += u16(0.5) + raw(2.0) + raw(0.5)
    return bytes(q)


def landxml_profiles(shared):
    for path in sorted(glob.glob(os.path.join(shared, "*.xml"))):
        pvis = []
        for el in ET.parse(path).iter():
            tag = el.tag.rsplit("}", 1)[-1]
            if tag not in ("PVI", "ParaCurve", "CircCurve"):
                continue
            s, z = map(float, el.text.split())
            if tag == "PVI":
                pvis.append((s, z))
            elif tag == "ParaCurve":
                pvis.append((s, z, "parabola", float(el.get("length"))))
            else:
                pvis.append((s, z, "arc", float(el.get("radius")), float(el.get("length"))))
        if pvis:
            yield os.path.splitext(os.path.basename(path))[0], pvi_case(pvis)


def made_cases():
    yield "parabolas", pvi_case([(0.0, 100.0), (300.0, 109.0, "asymmetric_parabola", 120.0, 60.0),
                                 (500.0, 103.0, "parabola", 100.0), (800.0, 112.0)])
    yield "repeated_pvi", pvi_case([(0.0, 10.0), (100.0, 12.0), (250.0, 9.0)], repeat={1})
    yield "clothoid_arc_clothoid", segment_case(1000.0, 50.0, -0.01, [
        ("line", 100.0, -0.01, None), ("clothoid", 120.0, 0.015, 0.0), ("arc", 60.0, 0.03, None),
        ("clothoid", 80.0, 0.04, 1.0), ("parabola", 200.0, -0.02, None), ("line", 50.0, -0.02, None)])
    yield "clothoid_between_radii", segment_case(-50.0, 3.0, 0.05, [
        ("clothoid", 300.0, 0.02, 0.3), ("clothoid", 500.0, 0.06, -0.2)])


def main():
    write_seeds(OUT, list(landxml_profiles(shared_folder())) + list(made_cases()), queries())


if __name__ == "__main__":
    main()
