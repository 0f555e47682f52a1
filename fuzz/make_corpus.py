#!/usr/bin/env python3
"""Writes the fuzzers' seed corpus (fuzz/corpus/<target>/) from the bundled example and small
cases of the kinds the tests use. Run from the project root: python3 fuzz/make_corpus.py"""
import os
import shutil

EXAMPLE = "examples/basic"


def head_lines(path, n):
    with open(path, "rb") as f:
        return b"".join(f.readlines()[:n])


def frame(counter, data, eol=b"\n"):
    payload = [(counter >> 16) & 0xFF, (counter >> 8) & 0xFF, counter & 0xFF, 0] + data + [0]
    toks = []
    for v in payload:
        toks += {0xC0: [0xDB, 0xDC], 0xDB: [0xDB, 0xDD]}.get(v, [v])
    return (" ".join("%02X" % t for t in [0xC0] + [0] * 18 + toks)).encode() + eol


def data(seed):
    return [(seed * 31 + j) & 0xFF for j in range(163)]


def info(imagesize, numfile, scs, names, eol=b"\n"):
    lines = [b"run", b"imagesize %d" % imagesize, b"numfile %d" % numfile, b"SC_S %d" % scs]
    return eol.join(lines + [n.encode() for n in names]) + eol


def write(target, name, content):
    d = os.path.join("fuzz/corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(content)


def main():
    shutil.rmtree("fuzz/corpus", ignore_errors=True)
    sep = b"@@@\n"
    # Captures, after a byte that picks the refill size (0x80 and up: the full size).
    write("frame", "example_lf", b"\x80" + head_lines(EXAMPLE + "/pass1_5_0_5_127.txt", 3))
    write("frame", "example_crlf", b"\x06" + head_lines(EXAMPLE + "/pass2_5_0_5_127.txt", 3))
    write("frame", "escapes", b"\x80" + frame(0xC0DB, data(5)) + frame(1, data(6), b"\r\n"))
    write("frame", "noise",
          b"\x02\n \t\nzz 00\n7E 00 01\n" + frame(2, data(1))[:100] + b"\n")
    write("frame", "no_final_lf", b"\x80" + frame(3, data(3), b""))
    write("frame", "long_line", b"\x1f" + frame(4, data(4), b"").ljust(19998) + b"\r\n")
    # Name lines, after four bytes of SC_S.
    for k, name in enumerate([b"pass1_12_1000_13_23.txt\n", b"_12_1000_13_23_40",
                              b"cap_0_0_12_445\n", b"cap_91_565_91_566.txt\n",
                              b"cap_-1_0_0_1023\n", b"cap_1_2_3\n"]):
        write("name", "name%d" % k, bytes([0, 0, 0, 12 if k == 0 else 0]) + name)
    # Run description heads.
    write("head", "example", head_lines(EXAMPLE + "/file_info.txt", 7))
    write("head", "crlf_spaces", b"x\r\n  imagesize   16 x\r\nnumfile 1\r\nSC_S -2 7")
    write("head", "short", b"a\nimagesize 10\nnumfile 1\n")
    # Whole runs: file_info.txt, then up to two captures named on its lines 5 and 6.
    write("run", "one_pass", info(2000, 1, 0, ["a_0_0_0_6"]) + sep +
          b"".join(frame(pn, data(pn)) for pn in range(11) if pn not in (3, 4)))
    write("run", "merge", info(2000, 2, 0, ["a_0_0_0_6", "b_0_0_0_6"]) + sep +
          b"".join(frame(pn, data(pn)) for pn in range(11) if pn not in (3, 4)) + sep +
          b"".join(frame(pn, data(pn), b"\r\n") for pn in range(11) if pn not in (4, 5)))
    write("run", "noise", info(100, 2, 1, ["n_0_1023_1_0", "m_1_0_1_0"]) + sep +
          b"\n7E 00\n" + frame(1, data(1)) + b"zz\n" + frame(3, data(3))[:-20] + b"\n" + sep +
          frame(0, data(0)) + frame(1, data(1), b""))
    write("run", "missing_capture", info(0, 3, 0, ["a_0_0_0_0", "b_0_1_0_1", "c_0_2_0_2"]) +
          sep + frame(0, data(0)))
    write("run", "range_error", info(0, 1, 0, ["a_0_9_0_8"]) + sep + b"")
    write("run", "imagesize_error", info(-1, 0, 0, []))


if __name__ == "__main__":
    main()
