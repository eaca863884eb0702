"""Writes the seed corpora of the fuzz targets (run once; the files are kept in git).

    python3 fuzz/make_seed_corpus.py

corpus/icd/      the sample alignments and one small file per class of malformed
                 or unusual line the loader has to answer for.
corpus/queries/  one short program per alignment and operation of fuzz_queries.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

HEAD = b"100\n250.5,400.25,0.5\n"
ICD = {
    # line ends, encoding, comments
    "bom": b"\xef\xbb\xbf" + HEAD + b"1,100\n",
    "invalid_utf8_comment": HEAD + b"// \xc7\xfa\xcf\xdf\n1,100\n",
    "invalid_utf8_after_end": HEAD + b"1,100\n0,0,0\n\xff\xfe\n",
    "truncated_utf8": HEAD + b"1,100\n// \xe4\xb8",
    "crlf": HEAD.replace(b"\n", b"\r\n") + b"1,100\r\n2,300,50,1\r\n",
    "lone_cr": b"100\r250.5,400.25,0.5\n1,100\r\n",
    "comments": HEAD + b"// a\n//\n1,100\n// b\n3,100,100,1\n",
    "comment_on_line_2": b"100\n// start\n1,100\n",
    "comment_after_blank": HEAD + b" // not a comment\n",
    "nul_in_field": HEAD + b"1,1\x0000\n",
    "fullwidth_digits": "１００\n0,0,0\n1,１００\n".encode("utf-8"),
    # end lines
    "end_line": HEAD + b"1,100\n0,0,0\nwhatever, after\n",
    "end_line_other_fields": HEAD + b"1,100\n5,x,0\n",
    "end_line_straight_azimuth": HEAD + b"1,100,0.5\n1,50\n",
    "not_an_end_line": HEAD + b"1,100\n0,0\n",
    "single_zero": HEAD + b"0\n",
    "azimuth_without_integer": HEAD + b"1,100,.5\n",
    # field counts and separators
    "trailing_comma_straight": HEAD + b"1,100,\n",
    "trailing_comma_arc": HEAD + b"2,300,50,1,\n",
    "empty_field": HEAD + b"1,,100\n",
    "blanks_in_fields": HEAD + b"1, 100\n1 , 100\n 2,300,50, -1\n",
    "too_few_fields_line_2": b"100\n250.5,400.25\n1,100\n",
    "too_few_fields_elements": HEAD + b"1\n2,100,50\n5,200,400,100\n",
    "extra_fields": HEAD + b"1,100,2.5,9\n2,300,50,-1,0.25,7\n",
    "explicit_azimuths": HEAD + b"1,100,2.5\n2,300,50,-1,0.25\n1,10\n",
    "empty_line_inside": HEAD + b"1,100\n\n1,100\n",
    "final_empty_line": HEAD + b"1,100\n\n",
    # numbers
    "huge_start": b"1e400\n0,0,0\n",
    "underflow_length": HEAD + b"1,1e-400\n",
    "huge_lengths": HEAD + b"1,1e308\n1,1e308\n1,-1e308\n",
    "int_overflow_direction": HEAD + b"2,100,50,99999999999\n",
    "int_overflow_type": HEAD + b"4294967297,100\n",
    "hex_and_suffixes": b"0x1p3\n0x10,1e1m,0.1rad\n1,100m\n02,100,50,1\n2.0,100,50,-1\n",
    "nan_inf_fields": HEAD + b"1,nan\n2,inf,100,1\n3,nan,100,1\n4,100,-inf,1\n1,100\n",
    "nan_start": b"nan\n0,0,0\n1,100\n2,100,50,1\n",
    "inf_start_point": b"0\ninf,-inf,nan\n1,100\n3,100,100,1\n",
    "zero_radius_and_a": HEAD + b"2,0,100,1\n3,0,100,1\n4,100,0,1\n5,0,0,0,1\n6,100,0,100,-1\n",
    "negative_lengths": HEAD + b"1,-100\n2,100,-50,1\n1,100\n",
    "odd_directions": HEAD + b"2,100,50,0\n2,100,50,7\n3,100,100,-2147483648\n",
    # type codes
    "each_type": HEAD + b"1,100\n3,100,100,1\n2,100,50,1\n4,100,100,1\n"
                        b"6,200,400,800,-1\n5,200,800,400,-1\n1,150\n",
    "bad_types": HEAD + b"7,100\n",
    "type_zero": HEAD + b"0,100\n",
    "type_negative": HEAD + b"-1,100,1,1\n",
    # whole files
    "empty": b"",
    "one_line": b"42.5\n",
    "two_lines": b"0\n1,2,3",
    "no_final_lf": HEAD + b"1,100",
}


def station_program(alignment, op, tags):
    return bytes([alignment, 0, op % 256] + tags)


def main():
    icd_dir = os.path.join(HERE, "corpus", "icd")
    q_dir = os.path.join(HERE, "corpus", "queries")
    os.makedirs(icd_dir, exist_ok=True)
    os.makedirs(q_dir, exist_ok=True)
    for name in ("railway_10km.icd", "worked_example.icd"):
        with open(os.path.join(REPO, "examples", name), "rb") as f:
            data = f.read()
        with open(os.path.join(icd_dir, name), "wb") as f:
            f.write(data)
    for name, data in sorted(ICD.items()):
        with open(os.path.join(icd_dir, name + ".icd"), "wb") as f:
            f.write(data)

    # fuzz_queries: byte 0 the alignment, byte 1 the overwrite flags, then an
    # operation byte and operand tags: 0..63 special values, 64..127 the
    # alignment's boundary stations and neighbours, 128..159 a station in and
    # around the range (two bytes follow), 160..255 a raw double (eight bytes
    # follow). n of get_station_by_point is two bytes: -1 + value % 3002.
    raw = list(b"\xff" + struct.pack("<d", 1234.5))
    for alignment in range(4):
        for op in range(8):
            tags = [64 + (op * 7 + k) % 64 for k in range(8)]
            if op == 2:  # x, y, n (an int in [-1, 3000]), eps
                tags = [64, 70] + [11, 0] + [5]
            data = station_program(alignment, op, tags + raw)
            with open(os.path.join(q_dir, "a%d_op%d" % (alignment, op)), "wb") as f:
                f.write(data)
    # start_pk and end_pk overwritten: NaN start, infinite end.
    with open(os.path.join(q_dir, "overwritten_range"), "wb") as f:
        f.write(bytes([0, 3, 2, 3, 2, 64, 65, 11, 0, 0]))


if __name__ == "__main__":
    main()
