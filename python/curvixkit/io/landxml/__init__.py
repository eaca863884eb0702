"""LandXML 1.0-1.2: alignments read into plain element descriptions
(:mod:`.reader`, over the byte and event layer :mod:`.stream` and the unit
codec :mod:`.units`) and written back (:mod:`.writer`)."""

from curvixkit.errors import LandXMLError
from curvixkit.io.landxml.reader import LandXMLAlignment, StatedElement, landxml_names, read_landxml
from curvixkit.io.landxml.units import ANGULAR_UNITS, LINEAR_UNITS, LandXMLUnits
from curvixkit.io.landxml.writer import write_landxml

__all__ = ["LandXMLError", "LandXMLAlignment", "LandXMLUnits", "StatedElement", "landxml_names",
           "read_landxml", "write_landxml", "ANGULAR_UNITS", "LINEAR_UNITS"]
