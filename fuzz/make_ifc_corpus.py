"""Writes the seed corpus of fuzz/fuzz_ifc.py (run once; the files are kept in git).

    python fuzz/make_ifc_corpus.py

The seeds are the files the tests write: the small alignment of
tests/kit/test_ifc.py (``write_model``: a line and an arc in degrees, a
grade, a referent, a map conversion) and its bad variants, and
``Alignment.to_ifc`` of the LandXML examples (profiles, cant, station
equations, feet). curvixkit and ifcopenshell must be importable. The
shared single-segment files (../shared/ifc) are added by the run script at
run time, never copied here.
"""
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
OUT = os.path.join(HERE, "corpus", "ifc")
sys.path[:0] = [os.path.join(REPO, "tests"), os.path.join(REPO, "tests", "kit")]


def main():
    from curvixkit import Alignment
    from test_ifc import write_model
    os.makedirs(OUT, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        seeds = {}
        small = os.path.join(tmp, "small.ifc")
        write_model(small)
        seeds["small.ifc"] = open(small, "rb").read()
        write_model(small, line_length=1e308)
        seeds["small_huge_length.ifc"] = open(small, "rb").read()
        for source, name in (("two_tracks.xml", "Up track"), ("two_tracks.xml", "Down track"),
                             ("station_equation.xml", None), ("road_feet.xml", None)):
            a = Alignment.read(os.path.join(REPO, "examples", source), name=name)
            out = os.path.join(tmp, "out.ifc")
            a.to_ifc(out)
            label = source[:-4] + ("_" + name.split()[0].lower() if name else "")
            seeds[label + ".ifc"] = open(out, "rb").read()
        # every transition shape, a leaning Viennese bend over a Viennese cant
        import math
        from curvixkit.results import TRANSITIONS
        import warnings
        els, stations, at = [{"kind": "line", "length": 30.0}], [(0.0, 0.0), (30.0, 0.0)], 30.0
        for kind in TRANSITIONS:
            els.append({"kind": kind, "length": 60.0, "start_radius": math.inf, "end_radius": 500.0,
                        "turn": 1, "lean": -0.04 if kind == "viennese" else None})
            els.append({"kind": "arc", "length": 20.0, "radius": 500.0, "turn": 1})
            els.append({"kind": kind, "length": 60.0, "start_radius": 500.0, "end_radius": math.inf,
                        "turn": 1, "lean": 0.04 if kind == "viennese" else None})
            shape = kind if kind not in ("clothoid", "cubic") else "linear"
            stations += [(at, 0.0, shape), (at + 60.0, 0.1), (at + 80.0, 0.1, shape), (at + 140.0, 0.0)]
            at += 140.0
        a = Alignment.from_elements(0.0, 0.0, 0.0, 0.0, els, cant={
            "stations": stations[:1] + stations[2:], "gauge": 1.5, "axis": "centre"})
        out = os.path.join(tmp, "out.ifc")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the Viennese cant has no representation
            a.to_ifc(out)
        seeds["transitions.ifc"] = open(out, "rb").read()
    for name, data in sorted(seeds.items()):
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
        print("%s: %d bytes" % (name, len(data)))


if __name__ == "__main__":
    main()
