#!/usr/bin/env python3
"""Writes demo-firmware.hex, the small sample image that the README programs
into the default bench.

The image is 2 KiB from address 0 (so it lands in the first sector of the
default bench's flash) and carries a firmware-information record: the 50 bytes
before "$FW-INFO$" with Kind 0 (FLASH), Address 0, name "DEMO" and device
"KZ-DEMO". Everything is derived from constants, so running the script again
gives the same file byte for byte.

    python3 samples/make_demo.py                 # rewrites samples/demo-firmware.hex
    python3 samples/make_demo.py -o other.hex
    python3 samples/make_demo.py --elf -o demo.elf
    python3 samples/make_demo.py --base 0x4000 --no-record -o at4000.hex

--elf writes a 32-bit ELF executable whose one PT_LOAD segment holds the
image; --base links the image at another address; --no-record leaves the
firmware-information record out (filler in its place), so the library takes
the image's addresses as flash offsets.
"""
import argparse
import os
import struct

IMAGE_SIZE = 2048
RECORD_BYTES = 16
FW_INFO_AT = 0x100  # where the 50-byte record starts

FIRMWARE_VERSION = bytes([1, 2, 0, 0])
DEVICE_VERSION = bytes([1, 0, 0, 0])


def fw_info():
    """The 50-byte firmware-information record, little-endian, then the marker."""
    record = FIRMWARE_VERSION
    record += struct.pack("<IIII", 0, 0, 0, 0)  # Kind FLASH, Address 0, two reserved words
    record += b"DEMO".ljust(10, b"\0")
    record += b"KZ-DEMO".ljust(16, b"\0")
    record += DEVICE_VERSION
    assert len(record) == 50
    return record + b"$FW-INFO$"


def image(record=True):
    data = bytearray()
    # A vector table: initial stack pointer and reset vector, then 14 handlers.
    data += struct.pack("<II", 0x20004000, 0x00000201)
    data += b"".join(struct.pack("<I", 0x00000241 + 4 * i) for i in range(14))
    banner = b"Kazmir demo firmware - programmed by kazmir\0"
    data += banner
    data += bytes((0x5A + 3 * i) & 0xFF for i in range(FW_INFO_AT - len(data)))
    data += fw_info() if record else bytes(len(fw_info()))
    # "Code": a fixed pseudo-random stream, then erased-looking padding.
    state = 0x1234567
    while len(data) < IMAGE_SIZE - 64:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        data.append((state >> 16) & 0xFF)
    data += b"\xFF" * (IMAGE_SIZE - len(data))
    return bytes(data)


def hex_record(address, rtype, payload):
    raw = bytes([len(payload), (address >> 8) & 0xFF, address & 0xFF, rtype]) + payload
    checksum = (-sum(raw)) & 0xFF
    return ":" + raw.hex().upper() + "%02X" % checksum


def intel_hex(data, base=0):
    lines, upper = [], 0
    for offset in range(0, len(data), RECORD_BYTES):
        address = base + offset
        if address >> 16 != upper:
            upper = address >> 16
            lines.append(hex_record(0, 4, upper.to_bytes(2, "big")))
        lines.append(hex_record(address & 0xFFFF, 0, data[offset:offset + RECORD_BYTES]))
    lines.append(hex_record(0, 1, b""))
    return "\n".join(lines) + "\n"


def elf(data, base=0):
    """A 32-bit little-endian ARM executable: one PT_LOAD segment with the
    data at physical and virtual address base, no sections."""
    header = struct.pack("<4s5B7xHHIIIIIHHHHHH", b"\x7fELF", 1, 1, 1, 0, 0,
                         2, 40, 1, base, 52, 0, 0, 52, 32, 1, 0, 0, 0)
    segment = struct.pack("<8I", 1, 52 + 32, base, base, len(data), len(data), 5, 4)
    return header + segment + data


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", default=os.path.join(here, "demo-firmware.hex"))
    parser.add_argument("--elf", action="store_true", help="an ELF executable instead of Intel HEX")
    parser.add_argument("--base", type=lambda text: int(text, 0), default=0, help="link address (default 0)")
    parser.add_argument("--no-record", action="store_true", help="leave the firmware-information record out")
    args = parser.parse_args()
    data = image(record=not args.no_record)
    if args.elf:
        with open(args.output, "wb") as f:
            f.write(elf(data, args.base))
    else:
        with open(args.output, "w", newline="\n") as f:
            f.write(intel_hex(data, args.base))


if __name__ == "__main__":
    main()
