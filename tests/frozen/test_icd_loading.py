"""Loading alignments from ICD files: failures, edge cases of the format,
the decoded Text and the kinds of file a path can name."""

import errno
import math
import os
import pathlib
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import curvix

GENERAL_ERROR = "读取ICD文件错误."

# Line 1 and line 2 of most cases: station 100, start point (0, 0), azimuth 0.
HEAD = "100\n0,0,0\n"

# The worked example: nine lines, LF line ends, no LF after the last line.
WORKED_EXAMPLE_LINES = [
    "100",
    "250.5,400.25,0.5",
    "// first tangent",
    "1,100",
    "3,100,100,1",
    "2,100,50,1",
    "4,100,100,1",
    "1,150",
    "0,0,0",
]


def assert_empty(pqx):
    assert pqx.start_pk == 0.0
    assert pqx.end_pk == 0.0
    assert pqx.start_angle.GetRadian() == 0.0
    assert (pqx.start_point.X(), pqx.start_point.Y(), pqx.start_point.Z()) == (0.0, 0.0, 0.0)
    assert pqx.Text == ""


def roundtrip_azimuth(radians):
    # Line 2's azimuth is stored through degrees, in this order.
    return ((radians / math.pi) * 180.0) / 180.0 * math.pi


# ---------------------------------------------------------------- failures

FAILURES = [
    # A line that is not UTF-8, wherever it is and whether or not it would be read.
    ("element_not_utf8", b"100\n0,0,0\n1,\xff100", ValueError, "bad conversion"),
    ("legacy_codepage_after_end_line", b"100\n0,0,0\n1,100\n0,0,0\n// \xb6\xc1\xc8\xa1",
     ValueError, "bad conversion"),
    ("truncated_at_end_of_file", b"100\n0,0,0\n1,100\xe4\xb8", ValueError, "bad conversion"),
    ("bad_line_1_before_bad_byte", b"x\n\xff", ValueError, "bad conversion"),
    # A decimal field without a number prefix.
    ("line1_empty", "\n0,0,0", ValueError, "invalid stod argument"),
    ("line1_blank", "  \t\n0,0,0", ValueError, "invalid stod argument"),
    ("line1_comment", "// start\n0,0,0", ValueError, "invalid stod argument"),
    ("line1_byte_order_mark", b"\xef\xbb\xbf100\n0,0,0", ValueError, "invalid stod argument"),
    # Line 1 is read as Unicode text: U+0131 is not the digit its low byte is.
    ("line1_digit_look_alike", "\u0131\n0,0,0", ValueError, "invalid stod argument"),
    ("line2_comment", "100\n// start point", ValueError, "invalid stod argument"),
    ("line2_empty_y", "100\n,0,0", ValueError, "invalid stod argument"),
    ("line2_blank_azimuth", "100\n0,0, ", ValueError, "invalid stod argument"),
    ("straight_empty_length", HEAD + "1,,100", ValueError, "invalid stod argument"),
    ("arc_trailing_comma_azimuth", HEAD + "2,300,50,1,", ValueError, "invalid stod argument"),
    ("arc_radius_letter_first", HEAD + "2,R300,50,1", ValueError, "invalid stod argument"),
    ("spiral_r1_not_a_number", HEAD + "5,200,x,100,1", ValueError, "invalid stod argument"),
    # A present field that is not a number fails before a missing later field.
    ("spiral_bad_field_before_missing", HEAD + "5,200,x,100", ValueError, "invalid stod argument"),
    ("line2_bad_field_before_missing", "100\nabc,1", ValueError, "invalid stod argument"),
    ("line2_second_bad_before_missing", "100\n1,abc", ValueError, "invalid stod argument"),
    # A decimal field out of the double range, overflow or underflow.
    ("line1_overflow", "1e999\n0,0,0", IndexError, "stod argument out of range"),
    ("line1_underflow", "1e-999\n0,0,0", IndexError, "stod argument out of range"),
    ("line2_subnormal", "100\n1e-310,0,0", IndexError, "stod argument out of range"),
    ("length_overflow", HEAD + "1,-1e400", IndexError, "stod argument out of range"),
    # An integer field without a number prefix.
    ("empty_line_among_elements", HEAD + "1,100\n\n1,100", ValueError, "invalid stoi argument"),
    ("second_final_lf", HEAD + "1,100\n\n", ValueError, "invalid stoi argument"),
    ("blank_before_comment", HEAD + " // note", ValueError, "invalid stoi argument"),
    ("type_letter", HEAD + "L,100", ValueError, "invalid stoi argument"),
    ("arc_direction_letter", HEAD + "2,300,50,R", ValueError, "invalid stoi argument"),
    ("spiral_direction_empty", HEAD + "3,100,100,", ValueError, "invalid stoi argument"),
    ("end_test_point_first", HEAD + "1,100,.5", ValueError, "invalid stoi argument"),
    ("end_test_trailing_comma", HEAD + "1,100,", ValueError, "invalid stoi argument"),
    # An integer field beyond 32 bits.
    ("type_above_int", HEAD + "2147483648,100", IndexError, "stoi argument out of range"),
    ("type_below_int", HEAD + "-2147483649,100", IndexError, "stoi argument out of range"),
    ("direction_above_int", HEAD + "3,100,100,99999999999", IndexError, "stoi argument out of range"),
    ("end_test_above_int", HEAD + "1,100,4294967296", IndexError, "stoi argument out of range"),
    # Type codes outside 1 to 6.
    ("type_7", HEAD + "7,100", RuntimeError, GENERAL_ERROR),
    ("type_0", HEAD + "0,100", RuntimeError, GENERAL_ERROR),
    ("type_negative", HEAD + "-1,100", RuntimeError, GENERAL_ERROR),
    ("single_zero", HEAD + "0", RuntimeError, GENERAL_ERROR),
    ("two_zeros", HEAD + "0,0", RuntimeError, GENERAL_ERROR),
    ("four_zeros", HEAD + "0,0,0,0", RuntimeError, GENERAL_ERROR),
    ("type_after_valid_elements", HEAD + "1,100\n2,300,50,1\n8,1,1", RuntimeError, GENERAL_ERROR),
    # Lines with fewer fields than they are read for.
    ("line2_one_field", "100\n5", RuntimeError, GENERAL_ERROR),
    ("line2_two_fields", "100\n0,0", RuntimeError, GENERAL_ERROR),
    ("straight_one_field", HEAD + "1", RuntimeError, GENERAL_ERROR),
    ("arc_two_fields", HEAD + "2,300", RuntimeError, GENERAL_ERROR),
    ("arc_three_fields", HEAD + "2,300,50", RuntimeError, GENERAL_ERROR),
    ("spiral3_three_fields", HEAD + "3,100,100", RuntimeError, GENERAL_ERROR),
    ("spiral4_two_fields", HEAD + "4,100", RuntimeError, GENERAL_ERROR),
    ("spiral5_four_fields", HEAD + "5,200,400,100", RuntimeError, GENERAL_ERROR),
    ("spiral6_four_fields", HEAD + "6,200,100,400", RuntimeError, GENERAL_ERROR),
]


@pytest.mark.parametrize(
    "content, kind, message", [row[1:] for row in FAILURES], ids=[row[0] for row in FAILURES]
)
def test_load_failure(write_icd, content, kind, message):
    with pytest.raises(Exception) as excinfo:
        curvix.PQX(write_icd(content))
    assert type(excinfo.value) is kind
    assert str(excinfo.value) == message


# ------------------------------------------------------- loading as read

# (content, start_pk, end_pk): what is loaded, including what the format
# does not validate.
LOADS = [
    ("one_line", "100", 100.0, 100.0),
    ("one_line_final_lf", "100\n", 100.0, 100.0),
    ("two_lines", "100\n1,2,0.5", 100.0, 100.0),
    ("line1_suffix_ignored", "100m\n0,0,0", 100.0, 100.0),
    ("line1_leading_blanks", " \t100.5 km", 100.5, 100.5),
    ("line1_hex_float", "0x1p4", 16.0, 16.0),
    ("line1_infinity", "inf\n0,0,0\n1,100", math.inf, math.inf),
    ("line1_final_cr_without_lf", "100\r", 100.0, 100.0),
    ("line2_extra_fields_ignored", "100\n0,0,0,junk\n1,10", 100.0, 110.0),
    ("straight", HEAD + "1,100", 100.0, 200.0),
    ("straight_blank_after_comma", HEAD + "1, 100", 100.0, 200.0),
    ("straight_blanks_around_comma", HEAD + "1 , 100", 100.0, 200.0),
    ("straight_explicit_azimuth", HEAD + "1,100,2.5", 100.0, 200.0),
    ("straight_four_fields", HEAD + "1,100,2.5,9", 100.0, 200.0),
    ("type_code_decimal", HEAD + "2.0,300,50,1", 100.0, 150.0),
    ("type_code_leading_zero", HEAD + "02,300,50,1", 100.0, 150.0),
    ("arc_explicit_azimuth", HEAD + "2,300,50,-1,0.25", 100.0, 150.0),
    ("arc_six_fields", HEAD + "2,300,50,-1,0.25,7", 100.0, 150.0),
    ("spiral3", HEAD + "3,100,100,1", 100.0, 200.0),
    ("spiral4", HEAD + "4,100,100,1", 100.0, 200.0),
    ("spiral5", HEAD + "5,200,400,100,1", 100.0, 400.0),
    ("spiral6", HEAD + "6,200,100,400,1", 100.0, 400.0),
    ("spiral_extra_field_ignored", HEAD + "3,100,100,1,xyz", 100.0, 200.0),
    ("negative_length", HEAD + "1,-50", 100.0, 50.0),
    ("zero_radius_arc", HEAD + "2,0,50,1", 100.0, 150.0),
    ("zero_radius_spiral", HEAD + "3,100,0,1", 100.0, math.inf),
    ("direction_other_than_one", HEAD + "2,300,50,5", 100.0, 150.0),
    ("comments_skipped", HEAD + "//a\n1,100\n//\n//,,\n1,50", 100.0, 250.0),
    ("final_lf_harmless", HEAD + "1,100\n", 100.0, 200.0),
    ("lone_cr_in_field", HEAD + "1,100\r5\n", 100.0, 200.0),
    ("final_cr_in_last_field", HEAD + "1,100\r", 100.0, 200.0),
    # End lines: exactly three fields, the third reading as the integer 0.
    ("end_line", HEAD + "1,100\n0,0,0\n1,999", 100.0, 200.0),
    ("end_line_zero_point_nine", HEAD + "1,100\n0,0,0.9\n1,999", 100.0, 200.0),
    ("end_line_type_not_a_number", HEAD + "1,100\n5,x,0\n1,999", 100.0, 200.0),
    ("straight_azimuth_below_one_ends", HEAD + "1,100\n1,100,0.5\n1,999", 100.0, 200.0),
    ("straight_negative_azimuth_ends", HEAD + "1,100\n1,100,-0.3", 100.0, 200.0),
    ("short_arc_with_zero_ends", HEAD + "2,300,0\n7,7", 100.0, 100.0),
    ("end_line_blank_zero", HEAD + "1,100\n0,0, 0 \n1,999", 100.0, 200.0),
    ("malformed_after_end_ignored", HEAD + "1,100\n0,0,0\n\n 7,x\n,,,\n1e999", 100.0, 200.0),
    # Lengths are summed from 0 in file order and start_pk is added last.
    ("sum_order", "1e16\n0,0,0\n1,1\n1,1", 1e16, (0.0 + 1.0 + 1.0) + 1e16),
]


@pytest.mark.parametrize(
    "content, start_pk, end_pk", [row[1:] for row in LOADS], ids=[row[0] for row in LOADS]
)
def test_loads_as_read(write_icd, content, start_pk, end_pk):
    pqx = curvix.PQX(write_icd(content))
    assert pqx.start_pk == start_pk
    assert pqx.end_pk == end_pk


def test_line1_nan_loads_as_read(write_icd):
    pqx = curvix.PQX(write_icd("nan\n0,0,0"))
    assert math.isnan(pqx.start_pk)
    assert math.isnan(pqx.end_pk)


def test_worked_example(write_icd):
    pqx = curvix.PQX(write_icd("\n".join(WORKED_EXAMPLE_LINES)))
    assert pqx.start_pk == 100.0
    assert pqx.end_pk == 600.0
    assert pqx.start_angle.GetRadian() == 0.5
    assert (pqx.start_point.X(), pqx.start_point.Y(), pqx.start_point.Z()) == (400.25, 250.5, 0.0)
    assert pqx.Text == "\n".join(WORKED_EXAMPLE_LINES)


@pytest.mark.parametrize("azimuth", ["0.1", "0.7", "0.3", "-2"])
def test_start_azimuth_goes_through_degrees(write_icd, azimuth):
    pqx = curvix.PQX(write_icd("0\n1,2,%s" % azimuth))
    assert pqx.start_angle.GetRadian() == roundtrip_azimuth(float(azimuth))


def test_start_azimuth_round_trip_can_change_last_bit(write_icd):
    # 0.1 comes back as 0.09999999999999999.
    pqx = curvix.PQX(write_icd("0\n1,2,0.1"))
    assert pqx.start_angle.GetRadian() != 0.1


def test_line2_fields_are_narrowed(write_icd):
    # From line 2 on, U+0131 reads as the digit 1 (its low byte) and U+0120
    # as a blank.
    pqx = curvix.PQX(write_icd("100\n\u0131,\u01202,0"))
    assert (pqx.start_point.X(), pqx.start_point.Y()) == (2.0, 1.0)


# Explicit start azimuths, seen at the end point of the alignment. Start point
# (0, 0); azimuth a moves a step s by (s sin a, s cos a).
def straight_end(length, azimuth):
    return length * math.sin(azimuth), length * math.cos(azimuth)


def arc_end(radius, length, direction, azimuth):
    turn = length / radius * direction
    chord = 2.0 * radius * math.sin(length / radius / 2.0)
    return straight_end(chord, azimuth + turn / 2.0)


AZIMUTHS = [
    ("straight_explicit", "0\n0,0,0.5\n1,100,2.5", straight_end(100, 2.5)),
    ("straight_explicit_carries_on", "0\n0,0,0.5\n1,100,2.5\n1,50", straight_end(150, 2.5)),
    ("straight_four_fields_keeps_running", "0\n0,0,0.5\n1,100,2.5,9", straight_end(100, 0.5)),
    ("arc_explicit", "0\n0,0,0.5\n2,300,50,-1,0.25", arc_end(300, 50, -1, 0.25)),
    ("arc_six_fields_keeps_running", "0\n0,0,0.5\n2,300,50,-1,0.25,7", arc_end(300, 50, -1, 0.5)),
]


@pytest.mark.parametrize(
    "content, end", [row[1:] for row in AZIMUTHS], ids=[row[0] for row in AZIMUTHS]
)
def test_explicit_start_azimuth(write_icd, content, end):
    pqx = curvix.PQX(write_icd(content))
    point = pqx.get_coordinate(pqx.end_pk)
    assert point.X() == pytest.approx(end[0], abs=1e-9)
    assert point.Y() == pytest.approx(end[1], abs=1e-9)


# -------------------------------------------------------------------- Text

TEXTS = [
    ("final_lf_not_kept", "100\n0,0,0\n", "100\n0,0,0"),
    ("crlf_dropped", "100\r\n0,0,0\r\n1,100\r\n", "100\n0,0,0\n1,100"),
    ("one_of_two_crs_dropped", "100\r\r\n0,0,0", "100\r\n0,0,0"),
    ("final_cr_kept", "100\n0,0,0\r", "100\n0,0,0\r"),
    ("comments_and_after_end_kept", HEAD + "// a\n0,0,0\n\n,,x", HEAD + "// a\n0,0,0\n\n,,x"),
    ("non_ascii", HEAD + "// 注释 \U0001F600\n1,100", HEAD + "// 注释 \U0001F600\n1,100"),
]


@pytest.mark.parametrize("content, text", [row[1:] for row in TEXTS], ids=[row[0] for row in TEXTS])
def test_text(write_icd, content, text):
    assert curvix.PQX(write_icd(content)).Text == text


def test_crlf_loads_like_lf(write_icd):
    lf = curvix.PQX(write_icd("\n".join(WORKED_EXAMPLE_LINES) + "\n"))
    crlf = curvix.PQX(write_icd("\r\n".join(WORKED_EXAMPLE_LINES) + "\r\n"))
    assert (crlf.start_pk, crlf.end_pk, crlf.Text) == (lf.start_pk, lf.end_pk, lf.Text)
    assert crlf.start_angle.GetRadian() == lf.start_angle.GetRadian()
    assert "\r" not in crlf.Text
    for pk in (100.0, 250.0, 333.3, 600.0):
        a, b = lf.get_coordinate(pk), crlf.get_coordinate(pk)
        assert (a.X(), a.Y()) == (b.X(), b.Y())


def test_text_is_read_only(write_icd):
    pqx = curvix.PQX(write_icd(HEAD))
    with pytest.raises(AttributeError):
        pqx.Text = "x"
    assert pqx.Text == HEAD.rstrip("\n")


# -------------------------------------------------------- kinds of file

def test_empty_file_gives_empty_alignment(write_icd):
    assert_empty(curvix.PQX(write_icd(b"")))


def test_default_alignment_is_empty():
    assert_empty(curvix.PQX())


def test_non_ascii_path(write_icd):
    assert curvix.PQX(write_icd("42", name="线路 ä.icd")).start_pk == 42.0


def python_open_error(path):
    """The error Python's own open() raises for the path."""
    with pytest.raises(OSError) as excinfo:
        with open(path, "rb") as f:
            f.read()
    return excinfo.value


def assert_same_os_error(got, expected):
    assert type(got) is type(expected)
    assert (got.errno, got.strerror, got.filename) == (expected.errno, expected.strerror, expected.filename)
    assert str(got) == str(expected)


@pytest.mark.parametrize(
    "relative, kind",
    [
        ("missing.icd", FileNotFoundError),
        ("no/such/folder.icd", FileNotFoundError),
        ("", IsADirectoryError),
        ("folder", IsADirectoryError),
    ],
    ids=["missing", "missing_folder", "tmp_dir", "sub_dir"],
)
def test_unreadable_path_raises_like_open(tmp_path, relative, kind):
    (tmp_path / "folder").mkdir()
    path = os.path.join(str(tmp_path), relative)
    with pytest.raises(OSError) as excinfo:
        curvix.PQX(path)
    assert type(excinfo.value) is kind
    assert excinfo.value.filename == path
    assert_same_os_error(excinfo.value, python_open_error(path))


def test_missing_file_message(tmp_path):
    path = str(tmp_path / "missing.icd")
    with pytest.raises(FileNotFoundError) as excinfo:
        curvix.PQX(path)
    assert excinfo.value.errno == errno.ENOENT
    assert str(excinfo.value) == "[Errno %d] %s: %r" % (errno.ENOENT, os.strerror(errno.ENOENT), path)


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0, reason="root can read any file")
def test_unreadable_file_is_permission_error(write_icd):
    path = write_icd("100")
    os.chmod(path, 0)
    with pytest.raises(PermissionError) as excinfo:
        curvix.PQX(path)
    assert_same_os_error(excinfo.value, python_open_error(path))


@pytest.mark.skipif(not os.path.exists("/dev/null"), reason="no /dev/null")
def test_device_is_not_a_regular_file():
    with pytest.raises(OSError) as excinfo:
        curvix.PQX("/dev/null")
    assert type(excinfo.value) is OSError
    assert (excinfo.value.errno, excinfo.value.strerror, excinfo.value.filename) == (
        errno.EINVAL,
        "Not a regular file",
        "/dev/null",
    )


FIFO_PROBE = """
import sys, curvix
try:
    curvix.PQX(sys.argv[1])
except OSError as e:
    print(type(e).__name__, e.errno, e.strerror)
"""


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs")
def test_fifo_is_refused_without_waiting(tmp_path):
    # Run in a child process: a reader that waited for a writer would hang
    # this test run, and here it only times out.
    path = str(tmp_path / "pipe.icd")
    os.mkfifo(path)
    result = subprocess.run(
        [sys.executable, "-c", FIFO_PROBE, path],
        cwd=str(tmp_path),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    assert result.stdout.decode().strip().split(None, 2) == ["OSError", str(errno.EINVAL), "Not a regular file"]


def test_file_over_256_mib_is_refused(write_icd):
    path = write_icd(b"")
    with open(path, "r+b") as f:
        f.truncate(256 * 2 ** 20 + 1)  # sparse: takes no disk space
    with pytest.raises(OSError) as excinfo:
        curvix.PQX(path)
    assert type(excinfo.value) is OSError
    assert (excinfo.value.errno, excinfo.value.filename) == (errno.EFBIG, path)
    assert str(excinfo.value) == "[Errno %d] %s: %r" % (errno.EFBIG, os.strerror(errno.EFBIG), path)


def test_path_with_nul_is_value_error(write_icd):
    path = write_icd("100")
    with pytest.raises(ValueError) as excinfo:
        curvix.PQX(path + "\0.bak")
    assert str(excinfo.value) == "embedded null byte"


@pytest.mark.parametrize("make_path", [os.fsencode, pathlib.Path], ids=["bytes", "pathlib"])
def test_path_must_be_str(write_icd, make_path):
    with pytest.raises(TypeError):
        curvix.PQX(make_path(write_icd("100")))


KIT_READ_PROBE = """
import sys, curvix
from curvixkit import _core
def refusal(read):
    try:
        read(sys.argv[1])
    except OSError as e:
        return [type(e).__name__, e.errno, e.strerror, e.filename, str(e)]
print(refusal(curvix.PQX) == refusal(_core.read_icd_file) != None)
"""


@pytest.mark.parametrize("make", [lambda p: None, os.mkdir, os.mkfifo,
                                  lambda p: open(p, "wb").truncate(2 ** 28 + 1)],  # sparse
                         ids=["missing", "directory", "fifo", "over_256_mib"])
def test_kit_reader_refuses_files_as_pqx_does(tmp_path, make):
    # In a child process: a FIFO read that waited for a writer would hang the run.
    path = str(tmp_path / "a.icd")
    make(path)
    out = subprocess.run([sys.executable, "-c", KIT_READ_PROBE, path], stdout=subprocess.PIPE, timeout=60)
    assert out.stdout.decode().strip() == "True"


def test_kit_reader_takes_str_and_path_like_not_bytes(tmp_path):
    from curvixkit import _core
    undecodable = os.path.join(os.fsencode(str(tmp_path)), b"\xff.icd")  # a name that is not UTF-8
    with open(undecodable, "wb") as f:
        f.write(b"100\n0,0,0\n")
    for path in (os.fsdecode(undecodable), pathlib.Path(os.fsdecode(undecodable))):
        assert _core.read_icd_file(path) == b"100\n0,0,0\n"
    with pytest.raises(TypeError):
        _core.read_icd_file(undecodable)


# ------------------------------------------------------------- properties

DOCUMENTED = {
    ValueError: {"bad conversion", "invalid stod argument", "invalid stoi argument"},
    IndexError: {"stod argument out of range", "stoi argument out of range"},
    RuntimeError: {GENERAL_ERROR},
}

TOKENS = ["0", "1", "2", "3", "5", "6", "7", "-", ".", "e", "9" * 12, "1e400", " ", ",", ",", "\n",
          "\n", "\r", "//", "x", "\u0131", "\ufeff", "\x00"]


def icd_like_bytes():
    text = st.lists(st.sampled_from(TOKENS), max_size=40).map("".join)
    return st.one_of(
        text.map(lambda t: t.encode("utf-8")),
        st.tuples(text, st.binary(max_size=3), text).map(lambda p: p[0].encode() + p[1] + p[2].encode()),
    )


def load_outcome(write_icd, data):
    try:
        pqx = curvix.PQX(write_icd(data, name="case.icd"))
    except Exception as e:  # noqa: BLE001 - the kind is what is compared
        return type(e), str(e)
    return repr((pqx.start_pk, pqx.end_pk, pqx.start_angle.GetRadian(), pqx.Text))


# The fixture only writes files: one file, rewritten for each example.
PROPERTY_SETTINGS = dict(deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


@settings(max_examples=300, **PROPERTY_SETTINGS)
@given(data=icd_like_bytes())
def test_any_bytes_load_or_fail_with_a_documented_error(write_icd, data):
    outcome = load_outcome(write_icd, data)
    if isinstance(outcome, tuple):
        kind, message = outcome
        assert message in DOCUMENTED.get(kind, set()), outcome


@settings(max_examples=200, **PROPERTY_SETTINGS)
@given(data=icd_like_bytes())
def test_crlf_line_ends_load_like_lf(write_icd, data):
    # CR before LF is part of the line end: adding one before every LF (where
    # none is there already) changes nothing.
    if b"\r" in data:
        data = data.replace(b"\r", b"")
    assert load_outcome(write_icd, data.replace(b"\n", b"\r\n")) == load_outcome(write_icd, data)


def test_failed_loads_do_not_leak(tmp_path):
    # Each refused path once leaked its filename string (about 300 bytes for
    # the path below), e.g. PQX("/tmp/x/missing.icd") in a loop.
    import tracemalloc

    path = str(tmp_path / "missing" / ("x" * 200))

    def fail_many():
        for _ in range(2000):
            try:
                curvix.PQX(path)
            except FileNotFoundError:
                pass

    fail_many()  # warm-up: caches and interned strings
    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot()
        fail_many()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    grown = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
    assert grown < 100000
