#!/usr/bin/env python3
"""Writes the bundled example (examples/basic) and what the tool must make of it
(tests/data/basic.expected_stdout, tests/data/basic.expected_output.bin).

The expectations are worked out here on their own, from what the sender sent and what was
dropped, not by running the tool. Run from the project root: python3 tools/make_basic_example.py

The run description is written by the few lines in main(), not by the C++ writer: a script
cannot call it, and the example is worth most as a run made apart from the C++ code. The unit
test DescriptionWriter.AgreesWithTheBundledExample checks that the file is byte for byte what
the C++ writer writes for the same head and names.
"""
import os

IMAGESIZE = 65536
SC_S = 5
PAGE, BLOCK_PAGES, SLOT = 256, 1024, 163

# The sender's memory from block SC_S on: the image, then zeros.
memory = bytearray(IMAGESIZE + 4096)
for o in range(IMAGESIZE):
    memory[o] = (o * 7 + (o >> 8)) & 0xFF

# name, range, slots the receiver lost, line end, extra lines (position, text)
CAPTURES = [
    ("pass1_5_0_5_127.txt", (5, 0, 5, 127), {17, 18, 90, 150}, "\n", []),
    ("pass2_5_0_5_127.txt", (5, 0, 5, 127), {18, 60}, "\r\n", []),
    ("pass1_5_128_5_255.txt", (5, 128, 5, 255), {3}, "\n",
     [(10, ""), (20, "7E " + " ".join(["00"] * 40))]),
]


def arithmetic(ssc, sp, esc, ep):
    npage = (esc * BLOCK_PAGES + ep) - (ssc * BLOCK_PAGES + sp) + 1
    mcomsize = npage * PAGE // SLOT + 1
    base = ((ssc - SC_S) * BLOCK_PAGES + sp) * PAGE
    return ssc + sp + esc + ep, mcomsize, base, base + npage * PAGE


def escape(values):
    out = []
    for v in values:
        out += {0xC0: [0xDB, 0xDC], 0xDB: [0xDB, 0xDD]}.get(v, [v])
    return out


def frame_line(counter, data):
    header = [0x10, 0x20] + [(counter + k) & 0xFF for k in range(16)]
    payload = [(counter >> 16) & 0xFF, (counter >> 8) & 0xFF, counter & 0xFF, 0x00]
    payload += list(data) + [0x00]
    return " ".join("%02X" % t for t in [0xC0] + header + escape(payload))


def main():
    os.makedirs("examples/basic", exist_ok=True)
    names = [c[0] for c in CAPTURES]
    with open("examples/basic/file_info.txt", "w", newline="") as f:
        f.write("example run: one range received twice, one once\n")
        f.write("imagesize %d\nnumfile %d\nSC_S %d\n" % (IMAGESIZE, len(names), SC_S))
        f.write("".join(n + "\n" for n in names))

    out = bytearray(b"\xff" * (IMAGESIZE + 1024))
    log = "Program start ver.3\r\nimagesize=%d\r\nnumfile=%d\r\nSC_S=%d\r\n" % (
        IMAGESIZE, len(names), SC_S)
    keyo, received_before = 0, []
    for i, (name, rng, lost, eol, extra) in enumerate(CAPTURES):
        key, mcomsize, base, limit = arithmetic(*rng)
        log += "\r\ni=%d\r\nna=%s\r\nSSC=%d SP=%d ESC=%d EP=%d\r\nmcomsize=%d\r\n" % (
            (i, name) + rng + (mcomsize,))
        lines = []
        for pn in range(mcomsize):
            if pn in lost:
                continue
            start = base + SLOT * pn
            data = memory[start:start + SLOT]
            lines.append(frame_line(pn, data))
            for o in range(start, min(start + SLOT - 1, limit) + 1):
                out[o] = data[o - start]
        for position, text in extra:
            lines.insert(position, text)
            if text.startswith("7E"):
                log += "ID=7e\r\nDATA IS NOT IMAGE DATA\r\nSTOP\r\n"
        with open("examples/basic/" + name, "w", newline="") as f:
            f.write("".join(line + eol for line in lines))

        received = [pn not in lost for pn in range(mcomsize)]
        if key == keyo:
            received = [r or (pn < len(received_before) and received_before[pn])
                        for pn, r in enumerate(received)]
        lacked = [pn for pn, r in enumerate(received) if not r]
        log += "\r\n" + "".join("PN=%d is lacked.\r\n" % pn for pn in lacked)
        if not lacked:
            log += "loss num = 0.\r\n"
        log += "loss_num=%d\r\n" % len(lacked)
        keyo, received_before = key, received
    log += "Program is finished.\r\n"

    with open("tests/data/basic.expected_stdout", "w", newline="") as f:
        f.write(log)
    with open("tests/data/basic.expected_output.bin", "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
