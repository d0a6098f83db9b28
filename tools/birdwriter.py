#!/usr/bin/env python3
"""Writes BIRD firmware files for tests and for the reference update server's catalogue.

Nothing in the product writes BIRD files; this tool makes them from the file layout alone:

    "bird", 2-byte format version, then one zlib stream holding
    block count (u32 BE), blocks (type/flags byte, u32 BE length, data), checksum (u32 BE).

It also reads the info block back, which is what the reference server needs to list builds.

Command line:
    birdwriter.py image OUT --build 100 --version 2.0.1 [--serial 0000ABCD] [--model NAME]
                  [--generic SERIAL_OFFSET DESCRIPTOR_OFFSET] [--firmware-address A]
                  [--firmware-size N] [--loader-size N] [--loader-start A]
    birdwriter.py json SPEC OUT      every field of the file under control (malformed variants)
    birdwriter.py info FILE          prints build, version, serial and model of a file
    birdwriter.py sample-catalogue DIR   a small catalogue for the reference server

The JSON spec: {"signature": "bird", "format": "0101", "declared_count": N,
"blocks": [{"type": 1, "flags": 0, "address": 0, "image": "<hex>"} | {"type": 4, "info":
["100", "2.0.1", "0000ABCD", "MODEL"]} | {"type": 2, "offsets": [S, D]} | {"type": T,
"data": "<hex>", "length": L}], "checksum": C, "body": "<hex of the whole inflated body>",
"payload": "<hex of everything after the header, not compressed>", "level": 9,
"truncate_body": K}. Every key is optional; "length" claims a length other than the data's.
"""

import argparse
import hashlib
import json
import os
import struct
import sys
import zlib

LOADER, FIRMWARE, SERIAL_OFFSETS, INFO, LOADER_START = 0, 1, 2, 4, 5


def pseudo_random(seed, size):
    """Deterministic bytes that compress about as badly as real firmware does."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(f"{seed}:{counter}".encode()).digest()
        counter += 1
    return bytes(out[:size])


def record(block_type, data, flags=0, length=None):
    """One block record; length may claim something other than len(data)."""
    if length is None:
        length = len(data)
    return bytes([(block_type & 0x1F) | ((flags & 0x07) << 5)]) + struct.pack(">I", length) + data


def addressed(address, image):
    return struct.pack(">I", address) + image


def info_data(build, version, serial, model):
    fields = [str(build), str(version), str(serial), str(model)]
    return b"".join(f.encode()[:16].ljust(16, b" ") for f in fields)


def checksum_of(data):
    return sum(data) & 0xFFFFFFFF


def body(records, declared_count=None, checksum=None):
    if declared_count is None:
        declared_count = len(records)
    inner = struct.pack(">I", declared_count) + b"".join(records)
    if checksum is None:
        checksum = checksum_of(inner)
    return inner + struct.pack(">I", checksum)


def bird_file(inflated_body, signature=b"bird", fmt=b"\x01\x01", level=9):
    return signature + fmt + zlib.compress(inflated_body, level)


def put_serial_places(image, address, serial_offset, descriptor_offset, serial_text="00000000"):
    """Writes placeholder serial number word and descriptor text into a generic image."""
    image = bytearray(image)
    if serial_offset:
        at = serial_offset - address
        image[at:at + 4] = struct.pack("<I", int(serial_text, 16))
    if descriptor_offset:
        at = descriptor_offset - address
        image[at:at + 16] = serial_text.encode("utf-16-le")
    return bytes(image)


def image_file(build, version, serial="00000000", model="KV-HUB",
               generic=None, firmware_address=0x4000, firmware_size=4096,
               loader_size=512, loader_start=None):
    """A complete, well-formed BIRD file."""
    records = []
    if loader_size:
        records.append(record(LOADER, addressed(0x2000, pseudo_random(f"L{build}", loader_size))))
    image = pseudo_random(f"F{build}", firmware_size)
    if generic:
        image = put_serial_places(image, firmware_address, generic[0], generic[1])
    records.append(record(FIRMWARE, addressed(firmware_address, image)))
    if generic:
        records.append(record(SERIAL_OFFSETS, struct.pack(">II", generic[0], generic[1])))
    records.append(record(INFO, info_data(build, version, serial, model)))
    if loader_start is not None:
        records.append(record(LOADER_START, struct.pack(">I", loader_start)))
    return bird_file(body(records))


def from_spec(spec):
    """A file built from a JSON-like description; anything can be made wrong on purpose."""
    signature = spec.get("signature", "bird").encode("latin-1")
    fmt = bytes.fromhex(spec.get("format", "0101"))
    if "payload" in spec:
        return signature + fmt + bytes.fromhex(spec["payload"])
    if "body" in spec:
        inflated = bytes.fromhex(spec["body"])
    else:
        records = []
        for b in spec.get("blocks", []):
            t = b["type"]
            if "image" in b:
                data = addressed(b.get("address", 0), bytes.fromhex(b["image"]))
            elif "info" in b:
                data = info_data(*b["info"])
            elif "offsets" in b:
                data = struct.pack(">II", *b["offsets"])
            else:
                data = bytes.fromhex(b.get("data", ""))
            records.append(record(t, data, b.get("flags", 0), b.get("length")))
        inflated = body(records, spec.get("declared_count"), spec.get("checksum"))
    if "truncate_body" in spec:
        inflated = inflated[:spec["truncate_body"]]
    return bird_file(inflated, signature, fmt, spec.get("level", 9))


def read_info(data):
    """(build, version, serial, model) from the first info block, or None for a bad file."""
    if len(data) <= 6 or data[:4] != b"bird":
        return None
    try:
        inflated = zlib.decompress(data[6:])
    except zlib.error:
        return None
    pos, end = 4, len(inflated) - 4
    while pos + 5 <= end:
        t = inflated[pos] & 0x1F
        (length,) = struct.unpack(">I", inflated[pos + 1:pos + 5])
        start = pos + 5
        if start + length > end:
            return None
        if t == INFO and length >= 64:
            f = [inflated[start + 16 * i:start + 16 * (i + 1)].decode("latin-1") for i in range(4)]
            build = f[0][:15].strip()
            version = f[1][:15].split(" ")[0]
            return (build, version, f[2][:8].upper(), f[3].rstrip(" "))
        pos = start + length
    return None


SAMPLE_CATALOGUE = """\
# Reference update server catalogue (see tools/update_server.py for the format).
device 0000ABCD KV-HUB
device 40F5849A KV-RELAY
latest 40F5849A 1203
unlisted 0000ABCD 1004
features 0000ABCD usb-power-control port-mapping
features 40F5849A relay-timing
fingerprint 00000001 00000002 00000003 00000004 40F5849A 1203
"""


def sample_catalogue(folder):
    os.makedirs(folder, exist_ok=True)
    files = {
        "hub-1001.bird": image_file(1001, "2.9.4", model="KV-HUB", generic=(0x4100, 0x4200)),
        "hub-1002.bird": image_file(1002, "2.10.1", model="KV-HUB", generic=(0x4100, 0x4200)),
        "hub-1003.bird": image_file(1003, "2.10.0", model="KV-HUB", generic=(0x4100, 0x4200)),
        "hub-1004-engineering.bird": image_file(1004, "2.11.0", model="KV-HUB",
                                                generic=(0x4100, 0x4200)),
        "relay-1203.bird": image_file(1203, "1.4.2", serial="40F5849A", model="KV-RELAY"),
    }
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    with open(os.path.join(folder, "catalogue.txt"), "w") as f:
        f.write(SAMPLE_CATALOGUE)


def _int(text):
    return int(text, 0)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    img = sub.add_parser("image")
    img.add_argument("out")
    img.add_argument("--build", required=True)
    img.add_argument("--version", required=True)
    img.add_argument("--serial", default="00000000")
    img.add_argument("--model", default="KV-HUB")
    img.add_argument("--generic", nargs=2, type=_int, metavar=("SERIAL_OFFSET", "DESCRIPTOR_OFFSET"))
    img.add_argument("--firmware-address", type=_int, default=0x4000)
    img.add_argument("--firmware-size", type=_int, default=4096)
    img.add_argument("--loader-size", type=_int, default=512)
    img.add_argument("--loader-start", type=_int)
    js = sub.add_parser("json")
    js.add_argument("spec")
    js.add_argument("out")
    inf = sub.add_parser("info")
    inf.add_argument("file")
    cat = sub.add_parser("sample-catalogue")
    cat.add_argument("folder")
    args = parser.parse_args(argv)

    if args.command == "image":
        data = image_file(args.build, args.version, args.serial, args.model, args.generic,
                          args.firmware_address, args.firmware_size, args.loader_size,
                          args.loader_start)
    elif args.command == "json":
        with open(args.spec) as f:
            data = from_spec(json.load(f))
    elif args.command == "info":
        with open(args.file, "rb") as f:
            found = read_info(f.read())
        if found is None:
            print("not a readable BIRD file", file=sys.stderr)
            return 1
        print("build %s version %s serial %s model %s" % found)
        return 0
    else:
        sample_catalogue(args.folder)
        return 0
    with open(args.out, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
