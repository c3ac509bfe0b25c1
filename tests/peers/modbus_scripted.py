#!/usr/bin/python3
"""Scripted Modbus server for replies an ordinary server does not give.

Usage:
  modbus_scripted.py [--regs32 JSON] [--unit N] [--ident HEX] [--rtu PATH]

Listens on 127.0.0.1 port 0 and prints "READY <port>"; with --rtu it speaks RTU framing on the
serial path instead (one end of a socat pty pair) and prints "READY <path>". It answers one unit (--unit, default 1)
and holds 32-bit registers: function 3 reads and function 16 writes move four bytes per register,
big-endian. A request for more than 62 registers (read) or 61 (write) gets the exception reply
"illegal data value", so a client must split its calls; an address not in the table gets
"illegal data address". Function 17 (report slave id) answers the bytes of --ident (hex, default
"2aff": id 42, running).

--regs32 is a JSON object of address -> 32-bit value, e.g. {"0": 1095237632, "1": 4294967295}.

Commands on standard input; each answer is one line on standard output ("OK" unless stated):
  SHORT <k>        the next read answers k registers fewer (a well-formed, shorter reply)
  BADCOUNT         the next read answers a byte count that is no multiple of four
  EXCEPTION <code> the next request gets this exception reply
  WRONGUNIT        the next reply carries another unit id
  SILENT <n>       the next n requests get no reply at all
  IDENTBAD <n>     the next n identification replies carry a byte count of 0
  BADCRC <n>       (RTU) the next n replies carry a wrong CRC
  COUNT [<fc>]     -> "COUNT <n>": requests received (of one function code)
  CONNECTIONS      -> "CONNECTIONS <n>": connections accepted
  REQUESTS         -> "REQUESTS <n>" then one line "REQ <ms> <unit> <fc> <address> <count>" each
  GET <address>    -> "VALUE <v>": a 32-bit register
  RESET            clears the counts and the pending replies
  QUIT             ends the server
"""

import argparse
import asyncio
import json
import os
import struct
import sys
import time
import tty

START = time.monotonic()


class Script:
    def __init__(self, regs, unit, ident):
        self.regs = regs
        self.unit = unit
        self.ident = ident
        self.reset()

    def reset(self):
        self.short = 0
        self.badcount = False
        self.exception = None
        self.wrongunit = False
        self.silent = 0
        self.identbad = 0
        self.badcrc = 0
        self.requests = []
        self.connections = 0

    def answer(self, unit, pdu):
        """The reply PDU and unit for one request PDU, or None for no reply."""
        fc = pdu[0]
        address = count = 0
        if len(pdu) >= 5:
            address, count = struct.unpack(">HH", pdu[1:5])
        ms = int((time.monotonic() - START) * 1000)
        self.requests.append((ms, unit, fc, address, count))
        if self.silent > 0:
            self.silent -= 1
            return None
        if unit != self.unit:
            return None
        reply_unit = (unit + 1) % 256 if self.wrongunit else unit
        self.wrongunit = False
        if self.exception is not None:
            code, self.exception = self.exception, None
            return reply_unit, bytes([fc | 0x80, code])
        if fc == 3:
            if count < 1 or count > 62:
                return reply_unit, bytes([0x83, 3])
            if any(str(a) not in self.regs for a in range(address, address + count)):
                return reply_unit, bytes([0x83, 2])
            sent = max(count - self.short, 0)
            self.short = 0
            data = b"".join(struct.pack(">I", self.regs[str(a)] & 0xFFFFFFFF)
                            for a in range(address, address + sent))
            if self.badcount:
                self.badcount = False
                data = data[:-2]
            return reply_unit, bytes([3, len(data)]) + data
        if fc == 16:
            byte_count = pdu[5] if len(pdu) > 5 else 0
            data = pdu[6:]
            if count < 1 or count > 61 or byte_count != count * 4 or len(data) != byte_count:
                return reply_unit, bytes([0x90, 3])
            for i in range(count):
                self.regs[str(address + i)] = struct.unpack(">I", data[4 * i:4 * i + 4])[0]
            return reply_unit, bytes([16]) + struct.pack(">HH", address, count)
        if fc == 17:
            if self.identbad > 0:
                self.identbad -= 1
                return reply_unit, bytes([17, 0])
            return reply_unit, bytes([17, len(self.ident)]) + self.ident
        return reply_unit, bytes([fc | 0x80, 1])


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def command(line, script, stop):
    words = line.split()
    if not words:
        return
    word = words[0].upper()
    try:
        if word == "SHORT":
            script.short = int(words[1])
        elif word == "BADCOUNT":
            script.badcount = True
        elif word == "EXCEPTION":
            script.exception = int(words[1])
        elif word == "WRONGUNIT":
            script.wrongunit = True
        elif word == "SILENT":
            script.silent = int(words[1])
        elif word == "IDENTBAD":
            script.identbad = int(words[1])
        elif word == "BADCRC":
            script.badcrc = int(words[1])
        elif word == "COUNT":
            if len(words) > 1:
                fc = int(words[1])
                say(f"COUNT {sum(1 for r in script.requests if r[2] == fc)}")
            else:
                say(f"COUNT {len(script.requests)}")
            return
        elif word == "CONNECTIONS":
            say(f"CONNECTIONS {script.connections}")
            return
        elif word == "REQUESTS":
            say(f"REQUESTS {len(script.requests)}")
            for request in script.requests:
                say("REQ " + " ".join(str(v) for v in request))
            return
        elif word == "GET":
            say(f"VALUE {script.regs.get(words[1], -1)}")
            return
        elif word == "RESET":
            script.reset()
        elif word == "QUIT":
            stop.set()
            return
        else:
            say(f"ERROR unknown command {word}")
            return
        say("OK")
    except (IndexError, ValueError) as exc:
        say(f"ERROR {exc}")


async def serve(reader, writer, script):
    script.connections += 1
    try:
        while True:
            header = await reader.readexactly(7)
            tid, proto, length, unit = struct.unpack(">HHHB", header)
            pdu = await reader.readexactly(length - 1)
            reply = script.answer(unit, pdu)
            if reply is None:
                continue
            reply_unit, body = reply
            writer.write(struct.pack(">HHHB", tid, proto, len(body) + 1, reply_unit) + body)
            await writer.drain()
    except (asyncio.IncompleteReadError, ConnectionError):
        pass
    finally:
        writer.close()


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def rtu_frame_length(buffer):
    """The length of the RTU request at the start of buffer, or None while it is incomplete."""
    if len(buffer) < 2:
        return None
    fc = buffer[1]
    if fc == 16:
        return 9 + buffer[6] if len(buffer) >= 7 else None
    if fc == 17:
        return 4
    return 8


def serve_rtu(path, script, loop):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    buffer = bytearray()

    def on_bytes():
        try:
            buffer.extend(os.read(fd, 4096))
        except BlockingIOError:
            return
        while True:
            length = rtu_frame_length(buffer)
            if length is None or len(buffer) < length:
                return
            frame = bytes(buffer[:length])
            del buffer[:length]
            if crc16(frame[:-2]) != int.from_bytes(frame[-2:], "little"):
                buffer.clear()  # out of step: drop everything and wait for the next request
                return
            reply = script.answer(frame[0], frame[1:-2])
            if reply is None:
                continue
            reply_unit, body = reply
            adu = bytes([reply_unit]) + body
            crc = crc16(adu)
            if script.badcrc > 0:
                script.badcrc -= 1
                crc ^= 0xFFFF
            os.write(fd, adu + crc.to_bytes(2, "little"))

    loop.add_reader(fd, on_bytes)
    return fd


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--regs32", default="{}")
    parser.add_argument("--unit", type=int, default=1)
    parser.add_argument("--ident", default="2aff")
    parser.add_argument("--rtu")
    args = parser.parse_args()
    script = Script({str(int(k)): int(v) for k, v in json.loads(args.regs32).items()}, args.unit,
                    bytes.fromhex(args.ident))
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    server = None
    if args.rtu:
        serve_rtu(args.rtu, script, loop)
        say(f"READY {args.rtu}")
    else:
        server = await asyncio.start_server(lambda r, w: serve(r, w, script), "127.0.0.1", 0)
        say(f"READY {server.sockets[0].getsockname()[1]}")

    def on_stdin():
        line = sys.stdin.readline()
        if not line:
            stop.set()
            return
        command(line, script, stop)

    loop.add_reader(sys.stdin.fileno(), on_stdin)
    await stop.wait()
    if server is not None:
        server.close()


if __name__ == "__main__":
    asyncio.run(main())
