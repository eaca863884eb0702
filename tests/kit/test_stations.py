"""Chainage text and station equations."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from curvixkit.stations import (StationError, StationMap, format_beyond, format_station,
                                parse_station)


@pytest.mark.parametrize("value, style, prefix, text", [
    (12345.678, "k", None, "K12+345.678"),
    (12345.678, "plus", None, "12+345.678"),
    (12345.67, "us", None, "123+45.67"),
    (12345.678, "k", "DK", "DK12+345.678"),
    (-10.0, "k", None, "-K0+010.000"),
    (-10.0, "us", None, "-0+10.00"),
])
def test_styles_format_and_parse_back(value, style, prefix, text):
    assert format_station(value, style, prefix=prefix) == text
    assert parse_station(text) == value


@pytest.mark.parametrize("text, value", [("K-0+010.000", -10.0), ("1e3", 1000.0),
                                         (" ak1+2.5 ", 1002.5)])
def test_other_accepted_forms(text, value):
    assert parse_station(text) == value


EXPECTED = ("expected a number (12345.678) or a chainage such as K12+345.678, DK12+345.678, "
            "-K0+010.000, 12+345.678, or 123+45.67 (100-foot stations)")


@pytest.mark.parametrize("text, message", [
    ("K12", "not a station: 'K12'; " + EXPECTED),
    ("nan", "not a finite station: 'nan'; " + EXPECTED),
    ("12+3456", "station '12+3456': without letters, '+' is followed by three digits "
                "(12+345.678) or two (123+45.67); " + EXPECTED),
    ("K1+1000", "station 'K1+1000': the part after '+' must be below 1000; " + EXPECTED),
    ("-K-1+000", "station '-K-1+000' has two signs; " + EXPECTED),
])
def test_refusals_say_what_was_expected(text, message):
    with pytest.raises(StationError) as err:
        parse_station(text)
    assert str(err.value) == message


@settings(deadline=None, max_examples=300)
@given(st.floats(-1e9, 1e9), st.sampled_from(["k", "plus", "us"]), st.integers(0, 6))
def test_rounding_is_one_step_in_every_style(value, style, decimals):
    half = 0.5 * 10.0 ** -decimals
    slack = abs(value) * 4e-16  # the parser's own rounding of the decimal text
    assert abs(parse_station(format_station(value, style, decimals)) - value) <= half + slack
    assert parse_station(format_station(value, style, decimals, rounding="floor")) <= value + slack
    assert parse_station(format_station(value, style, decimals, rounding="ceil")) >= value - slack


@settings(deadline=None, max_examples=300)
@given(st.floats(900.0, 1100.0), st.floats(-1e-3, 1e-3))
def test_a_value_outside_a_range_never_prints_inside_it(start, step):
    value = start + step
    if step == 0.0 or value == start:
        return
    low, high = (start, start + 500.0) if step < 0 else (start - 500.0, start)
    shown, span = format_beyond(value, low, high)
    lo_text, hi_text = span.split(" to ")
    assert not parse_station(lo_text) <= parse_station(shown) <= parse_station(hi_text)
    assert parse_station(lo_text) <= low and parse_station(hi_text) >= high


def test_outside_message_example():
    assert format_beyond(999.9999, 1000.0, 2000.0) == ("K0+999.999", "K1+000.000 to K2+000.000")


# A back equation: at internal 500 the display goes back to 400, so display
# stations 400 to 500 occur twice.
BACK = StationMap(0.0, 1000.0, [(500.0, None, 400.0, "back")])


def test_back_equation_ambiguity_names_both_regions():
    with pytest.raises(StationError) as err:
        BACK.from_display(450.0)
    assert str(err.value) == (
        "display station K0+450.000 occurs in region 0 (K0+000.000 to K0+500.000) and in region 1 "
        "(K0+400.000 to K0+900.000, from the equation at internal station 500.0 'back'); give "
        "region=0 or region=1")
    assert BACK.from_display([450.0, 450.0], region=[0, 1]).tolist() == [450.0, 550.0]


@settings(deadline=None, max_examples=200)
@given(st.floats(-100.0, 100.0), st.lists(st.floats(-1e4, 1e4), min_size=1, max_size=4),
       st.floats(0.0, 1.0))
def test_internal_display_round_trip(start, aheads, fraction):
    end = start + 1000.0
    internals = np.linspace(start, end, len(aheads) + 2)[1:-1]
    m = StationMap(start, end, list(zip(internals, [None] * len(aheads), aheads)))
    s = start + fraction * (end - start)
    region = int(m.region_of(s))
    shown = m.to_display(s)
    assert m.from_display(shown, region=region) == pytest.approx(s, abs=1e-9)
    candidates = [r.index for r in m.regions if r.display_start <= shown <= r.display_end]
    assert region in candidates
    if candidates == [region]:
        assert m.from_display(shown) == pytest.approx(s, abs=1e-9)
    elif len(candidates) > 1:
        with pytest.raises(StationError):
            m.from_display(shown)
