#!/usr/bin/env python3
"""Writes the seed corpora in corpus/<target>/: a few well-formed exchanges per target, from which
the fuzzer mutates. Run again after changing it; the files are committed."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))
ACK = b"\x06"


def frame(kind, function, payload=b""):
    body = bytes([len(payload) + 3, kind, function]) + payload
    check = 0xFF
    for b in body:
        check ^= b
    return b"\x01" + body + bytes([check])


def response(function, payload=b""):
    return frame(0x01, function, payload)


def request(function, payload=b""):
    return frame(0x00, function, payload)


def chunks(*parts, delayed=()):
    """Each part becomes one chunk of at most 127 bytes (longer parts are split)."""
    out = b""
    for index, part in enumerate(parts):
        first = True
        while first or part:
            piece, part = part[:127], part[127:]
            lead = len(piece) | (0x80 if index in delayed and first else 0)
            out += bytes([lead]) + piece
            first = False
    return out


VERSION = response(0x15, b"Z-Wave 4.62\x00\x01")
STARTED = request(0x0A, b"\x01\x02\x01\x00")
SET_DEFAULT_DONE = request(0x42, b"\x07")


def nvm_reply(status, length, offset, data=b""):
    return response(0x2E, bytes([status, length, offset >> 8, offset & 0xFF]) + data)


def write(target, name, data):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def hex_record(kind, address, data):
    body = bytes([len(data), address >> 8, address & 0xFF, kind]) + data
    return ":" + (body + bytes([(-sum(body)) & 0xFF])).hex().upper() + "\n"


def hex_seeds():
    small = hex_record(0, 0, bytes(range(16))) + hex_record(0, 0x10, b"\xAA" * 8) + hex_record(1, 0, b"")
    write("hex_file", "small.hex", small.encode())
    linear = (hex_record(4, 0, b"\x00\x01") + hex_record(0, 0xFFF0, bytes(16)) + hex_record(1, 0, b""))
    write("hex_file", "linear.hex", linear.encode())
    segment = hex_record(2, 0, b"\x10\x00") + hex_record(0, 0x20, b"\x55" * 4) + "\r\n" + hex_record(1, 0, b"")
    write("hex_file", "segment.hex", segment.replace("\n", "\r\n").encode())
    write("hex_file", "after-eof.hex", (hex_record(1, 0, b"") + hex_record(0, 0x100, b"\x01")).encode())
    overlap = hex_record(0, 0, b"\x01\x02") + hex_record(0, 1, b"\x02\x03") + hex_record(1, 0, b"")
    write("hex_file", "cr-overlap.hex", overlap.replace("\n", "\r").encode())


def command_line_seeds():
    lines = {
        "version": ["--reset-pin", "17", "--get-version", "--", "/dev/ttyS0"],
        "backup": ["--reset-pin", "17", "--backup-nvm", "nvm.bin", "--", "/dev/ttyS0"],
        "migrate": ["--reset-pin", "17", "--bridge", "--migrate-nvm", "--backup-nvm", "b", "--", "/dev/tty"],
        "flash": ["--assume-reset-pin-asserted", "--hex", "f.hex", "--read-nvr", "nvr", "/dev/tty"],
        "restore": ["--soft-reset", "--restore-nvm", "n", "--erase-nvm", "--verbose", "--", "-t"],
        "conflict": ["--no-soft-reset", "--soft-reset", "--reset-pin", "0x11", "--hex", "", "a", "b"],
    }
    for name, arguments in lines.items():
        write("command_line", name, "\0".join(arguments).encode())


def serial_api_seeds():
    write("serial_api", "version", bytes([0x00]) + chunks(ACK, VERSION))
    write("serial_api", "soft-reset", bytes([0x01]) + chunks(ACK, STARTED, ACK, VERSION))
    write("serial_api", "retried", bytes([0x02]) + chunks(b"", ACK + VERSION[:5], VERSION[5:], delayed=(2,)))
    damaged = bytearray(VERSION)
    damaged[-1] ^= 0x55
    write("serial_api", "nak-then-good", bytes([0x04]) + chunks(STARTED, ACK, bytes(damaged), VERSION))
    write("serial_api", "erase", bytes([0x18]) + chunks(ACK, VERSION, ACK, b"\x15", SET_DEFAULT_DONE, STARTED))


def nvm_seeds():
    data = bytes((i * 7) & 0xFF for i in range(128))
    backup = [ACK, nvm_reply(0, 0, 128), ACK, nvm_reply(0, 64, 0, data[:64]), ACK,
              nvm_reply(0xFF, 64, 64, data[64:]), ACK, nvm_reply(0, 0, 0)]
    write("nvm", "backup", bytes([0x00]) + chunks(*backup))
    write("nvm", "backup-small-buffer", bytes([0x04]) + chunks(*backup))
    image = bytes((i * 31 + 7) & 0xFF for i in range(200))
    restore = [ACK, STARTED, ACK, SET_DEFAULT_DONE, ACK, nvm_reply(0, 0, 256)]
    for offset in range(0, 200, 64):
        n = min(64, 200 - offset)
        restore += [ACK, nvm_reply(0, n, offset)]
    restore += [ACK, nvm_reply(0, 0, 0), ACK, STARTED]
    write("nvm", "restore", bytes([0x05]) + chunks(*restore))
    write("nvm", "restore-retried", bytes([0x2D]) + chunks(ACK, STARTED, ACK, b"", *restore))


def programming_seeds():
    enable = b"\xAC\x53\xAA\x55"
    nvr = [enable] + [bytes([0xF2, 0x00, a, (a * 3) & 0xFF]) for a in range(256)]
    write("programming", "nvr", bytes([0x00]) + chunks(*nvr))
    state = b"\x7F\xFE\x00\x00"
    write("programming", "state-crc", bytes([0x01]) + chunks(enable, state, b"\xC3\x00\x00\x00",
                                                           b"\x7F\xFE\x00\x08", b"\x7F\xFE\x00\x02", enable))
    write("programming", "sector", bytes([0x0A]) + chunks(enable, b"\x0B\x02\xFF\xFF", state,
                                                        b"\x04\x00\x0A\x5A", b"\x20\x02\xFF\xFF", state))
    write("programming", "flash", bytes([0x03]) + chunks(enable, b"\x0B\x00\xFF\xFF", state, b"\x04\x00\x00\x00"))


if __name__ == "__main__":
    hex_seeds()
    command_line_seeds()
    serial_api_seeds()
    nvm_seeds()
    programming_seeds()
    # The bridge conversion takes an NVM image; the emulator's populated NVM is the natural seed,
    # written by the test that owns it. Here: a minimal image that converts.
    image = bytearray(12196)
    image[0:2] = (12195).to_bytes(2, "big")
    image[2:4] = (10000).to_bytes(2, "big")
    write("bridge", "minimal", bytes(image))
