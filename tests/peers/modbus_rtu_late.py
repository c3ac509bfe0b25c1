#!/usr/bin/python3
"""Small Modbus RTU slave on a serial path that can answer late, for the tests of line recovery.

Usage:
  modbus_rtu_late.py --path PATH [--unit N]

Serves one unit (--unit, default 1) on PATH (one end of a socat pty pair) and prints
"READY <path>". Holding registers (function 3) and input registers (function 4) hold
(address * 7 + 3) & 0xFFFF at every address, so each block's values tell where they came from.
Other functions get the exception reply "illegal function"; other units get no reply.

Commands on standard input, one a line; each answer is one line on standard output ("OK" unless stated):
  LATE <ms>        the next request is answered after ms milliseconds instead of at once; requests
                   that come meanwhile are answered after it, in order
  DELAY <ms>       every request is answered after ms milliseconds (0: at once)
  STRAY <address> <count>  writes at once, unasked, a well-formed function 3 reply for that block
  REQUESTS         -> "REQUESTS <n>" then one line "REQ <ms> <unit> <fc> <address> <count>" each
  RESET            clears the request list and pending lateness
  QUIT             ends the peer
"""

import argparse
import asyncio
import os
import struct
import sys
import termios
import time

START = time.monotonic()


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return struct.pack("<H", crc)


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


class Slave:
    def __init__(self, fd, unit):
        self.fd = fd
        self.unit = unit
        self.buffer = b""
        self.late = None
        self.delay = 0
        self.requests = []
        self.busy_until = 0.0

    def readable(self):
        try:
            data = os.read(self.fd, 512)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        self.buffer += data
        # Requests of functions 3 and 4 are eight bytes; a frame whose checksum does not match
        # is resynchronised byte by byte.
        while len(self.buffer) >= 8:
            frame = self.buffer[:8]
            if crc16(frame[:6]) != frame[6:]:
                self.buffer = self.buffer[1:]
                continue
            self.buffer = self.buffer[8:]
            self.handle(frame)

    def reply(self, fc, address, count):
        if fc in (3, 4):
            data = b"".join(struct.pack(">H", (a * 7 + 3) & 0xFFFF) for a in range(address, address + count))
            pdu = bytes([fc, len(data)]) + data
        else:
            pdu = bytes([fc | 0x80, 1])
        adu = bytes([self.unit]) + pdu
        return adu + crc16(adu)

    def handle(self, frame):
        unit, fc, address, count = struct.unpack(">BBHH", frame[:6])
        ms = int((time.monotonic() - START) * 1000)
        self.requests.append((ms, unit, fc, address, count))
        if unit != self.unit:
            return
        adu = self.reply(fc, address, count)
        wait = self.delay
        if self.late is not None:
            wait, self.late = self.late, None
        # A slave answers in order: a request that came while it was still busy with a late one
        # is answered after it, as a real device on a shared line does.
        now = time.monotonic()
        at = max(now + wait / 1000.0, self.busy_until)
        self.busy_until = at
        if at > now:
            asyncio.get_running_loop().call_later(at - now, self.write, adu)
        else:
            self.write(adu)

    def write(self, adu):
        os.write(self.fd, adu)


def command(line, slave, stop):
    words = line.split()
    if not words:
        return
    word = words[0].upper()
    try:
        if word == "LATE":
            slave.late = int(words[1])
        elif word == "DELAY":
            slave.delay = int(words[1])
        elif word == "STRAY":
            slave.write(slave.reply(3, int(words[1]), int(words[2])))
        elif word == "REQUESTS":
            say(f"REQUESTS {len(slave.requests)}")
            for request in slave.requests:
                say("REQ " + " ".join(str(v) for v in request))
            return
        elif word == "RESET":
            slave.requests = []
            slave.late = None
        elif word == "QUIT":
            stop.set()
            return
        else:
            say(f"ERROR unknown command {word}")
            return
        say("OK")
    except (IndexError, ValueError) as exc:
        say(f"ERROR {exc}")


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--path", required=True)
    parser.add_argument("--unit", type=int, default=1)
    args = parser.parse_args()
    fd = os.open(args.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    attrs = termios.tcgetattr(fd)
    attrs[0] = 0                      # iflag: no translation of the bytes
    attrs[1] = 0                      # oflag
    attrs[3] = 0                      # lflag: raw, no echo
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    slave = Slave(fd, args.unit)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    loop.add_reader(fd, slave.readable)

    def on_stdin():
        line = sys.stdin.readline()
        if not line:
            stop.set()
            return
        command(line, slave, stop)

    loop.add_reader(sys.stdin.fileno(), on_stdin)
    say(f"READY {args.path}")
    await stop.wait()
    os.close(fd)


if __name__ == "__main__":
    asyncio.run(main())
