"""Readers and writers: the only code that touches files, encodings and XML.

Each reader hands plain element descriptions to the engine and never
evaluates geometry itself; each writer takes the elements of a built
alignment. Every failure names its line, field or attribute.

- :mod:`curvixkit.io.icd`: ICD files (the reader is the compiled one the
  legacy ``curvix.PQX`` shares), and the ICD writer.
- :mod:`curvixkit.io.landxml`: LandXML 1.0-1.2, read and written.
- :mod:`curvixkit.io.ifc`: IFC 4.3 alignments (ifcopenshell), read.
- :mod:`curvixkit.io.geojson`: GeoJSON features of an alignment.
- :mod:`curvixkit.io.dxf`: DXF drawings of an alignment and its stakes.
- :mod:`curvixkit.io.points`: point files (CSV, LAS/LAZ, Parquet) read in
  chunks and written back with columns added.
- :mod:`curvixkit.io.files`: output that appears whole or not at all.
"""
