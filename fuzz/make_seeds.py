#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: valid replies and requests of every kind."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def be16(v):
    return struct.pack(">H", v)


def ac_analogue(lines=2):
    b = bytes([lines])
    for _ in range(lines):
        b += be16(23000) + be16(23100) + be16(22900) + be16(5000) + b"\x00"
    return b + be16(1050) + be16(1100) + be16(1150)


def ac_status():
    return bytes([2, 0, 1, 0])


def ac_alarms(lines=2):
    return bytes([lines]) + bytes([0, 0, 0, 0, 0, 0]) * lines + bytes([0, 0, 0])


def rc_analogue(flag=0, modules=3):
    b = bytes([flag]) + be16(5300) + bytes([modules])
    for i in range(modules):
        b += be16(1000 + 100 * i) + b"\x00"
    return b


def rc_status(modules=3):
    return bytes([0, modules]) + bytes([0, 0, 1, 1, 0x55]) * modules


def rc_alarms(modules=3):
    return bytes([0, modules]) + (bytes([0, 7]) + bytes(range(7))) * modules


def dc_analogue():
    return (be16(5354) + be16(1000) + bytes([2]) + be16(100) + be16(50) + bytes([1]) +
            be16(500) + bytes([1]) + be16(0x2020))


def dc_alarms():
    return bytes([0, 2, 1, 0, 1, 9])


def params():
    return bytes(9) + be16(5350) + be16(5600)


DECODER_REPLIES = [(0, ac_analogue()), (1, ac_status()), (2, ac_alarms()), (3, rc_analogue()),
                   (4, rc_status()), (5, rc_alarms()), (6, dc_analogue()), (7, dc_alarms())]


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def hexframe(cid1, rtn, info, ver=0x20, adr=1):
    lenid = 2 * len(info)
    lchk = (-(lenid & 0xF) - ((lenid >> 4) & 0xF) - ((lenid >> 8) & 0xF)) & 0xF
    body = "%02X%02X%02X%02X%04X" % (ver, adr, cid1, rtn, lchk << 12 | lenid)
    body += info.hex().upper()
    chk = (-sum(body.encode())) & 0xFFFF
    return b"~" + body.encode() + b"%04X\r" % chk


def main():
    # Decoders: one reply each, then a whole round in one input.
    for sel, reply in DECODER_REPLIES:
        write("fuzz_decoders", "reply%d" % sel, bytes([sel, len(reply)]) + reply)
    write("fuzz_decoders", "round",
          b"".join(bytes([sel, len(r)]) + r for sel, r in DECODER_REPLIES))

    # Engine: a full first round, framed by the harness and as raw line bytes.
    round_replies = [(0x42, params()), (0x40, b"\x00\x01" + ac_analogue()),
                     (0x40, b"\x00\x01" + ac_status()), (0x40, b"\x00\x01" + ac_alarms()),
                     (0x41, rc_analogue()), (0x41, rc_status()), (0x41, rc_alarms()),
                     (0x42, b"\x00\x01" + dc_analogue()), (0x42, b"\x00\x01" + dc_alarms())]
    groups = {0x40: 0, 0x41: 1, 0x42: 2}
    framed = b"\x01" + b"".join(bytes([groups[g], 0, len(i)]) + i for g, i in round_replies)
    write("fuzz_engine", "framed_round", framed)
    write("fuzz_engine", "framed_two_rounds",
          framed + b"".join(bytes([groups[g], 0x80 if g == 0x42 and n == 0 else 0, len(i)]) + i
                            for n, (g, i) in enumerate(round_replies)))
    raw = b"\x00" + b"".join(hexframe(g, 0, i) for g, i in round_replies)
    write("fuzz_engine", "raw_round", raw)
    write("fuzz_engine", "raw_noise", b"\x00" + b"\xff~20" + raw[1:40] + b"\r" + raw[1:])

    # Control requests.
    requests = [
        (1, b'{"signal_id": "4196A3201001", "SetValue": "53.5"}'),
        (1, b'{"signal_id": "4196A3301001", "SetValue": -1.5} // note'),
        (1, b'{"signal_id": "4196A3101001", "SetValue": 400}'),
        (1, b'[1, 2]'),
        (3, b"419500601003"),
        (3, b"419500200"),
        (3, b"419500201300"),
        (0, b""),
        (5, b""),
    ]
    for n, (code, text) in enumerate(requests):
        write("fuzz_control", "request%d" % n, bytes([code, 6]) + text)


if __name__ == "__main__":
    main()
