"""Sends Tolvi control requests through ioctl and prints the results.

Run under the simulator's preload library. Arguments: one request each,
"read:ADDR", "program:ADDR:BYTE" (256 copies of BYTE) or "erase:BLOCK",
optionally prefixed "NAME@". Prints one JSON list: [result, errno, data hex]
per request, then whether the driver's class entry and version file open.
"""
import ctypes
import json
import socket
import struct
import sys

libc = ctypes.CDLL(None, use_errno=True)
SIOC_TOLVI = 0x89F4


def request(name, opcode, write, address, length, data=b""):
    req = ctypes.create_string_buffer(
        struct.pack("<IBBHHH", 1, write, opcode, address >> 16, address & 0xFFFF, length)
        + data.ljust(256, b"\0"), 268)
    ifr = ctypes.create_string_buffer(
        struct.pack("16sP", name.encode(), ctypes.addressof(req)).ljust(40, b"\0"), 40)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        ctypes.set_errno(0)
        rc = libc.ioctl(s.fileno(), ctypes.c_ulong(SIOC_TOLVI), ifr)
        err = ctypes.get_errno() if rc != 0 else 0
    return [rc, err, req.raw[12:].hex()]


def run(item):
    name, _, item = item.rpartition("@")
    kind, *args = item.split(":")
    values = [int(a, 0) for a in args]
    name = name or "tolvi0"
    if kind == "read":
        return request(name, 2, 0, values[0], 256)
    if kind == "program":
        return request(name, 3, 1, values[0], 256, bytes([values[1]]) * 256)
    return request(name, 4, 1, values[0], 0)  # the block number goes in reqAddrLow


def opens(path):
    try:
        with open(path, "rb") as f:
            return f.read(128).decode(errors="replace")
    except OSError as e:
        return "error %d" % e.errno


results = [run(a) for a in sys.argv[1:]]
print(json.dumps({"requests": results,
                  "class": opens("/sys/class/cvtolvi/tolvi0"),
                  "version": opens("/proc/cvtolvi")}))
