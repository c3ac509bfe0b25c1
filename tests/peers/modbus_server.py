#!/usr/bin/python3
"""Modbus server for the tests (pymodbus), over TCP on loopback or RTU on a serial path.

Usage:
  modbus_server.py --table TABLE [--ident HEX] [--rtu PATH [--baud 9600] [--parity N] [--stopbits 1]]

TCP: listens on 127.0.0.1, port 0 (or --port N), and prints "READY <port>".
RTU: serves on the serial path (e.g. one end of a socat pty pair), prints "READY <path>".

TABLE is JSON text, or "@file" to read it from a file. Keys are unit ids; each unit has
"hr" (holding registers) and/or "ir" (input registers), each an object whose keys are register
addresses (counted from 0) and whose values are a register value (0..65535) or a list of values
for consecutive registers from that address:
  {"1": {"hr": {"0": [1, 2, 3], "100": 65535}, "ir": {"0": [7, 8]}}}
--ident sets the bytes that every unit answers to report slave id (function 17) before its
status byte, e.g. "07" for slave id 7; without it pymodbus answers with its own identity text.

A request touching an address that is not in the table gets the exception reply "illegal data
address". A unit that is not in the table (or is silenced) never answers, so its requests time out.

Commands on standard input, one a line; each answer is one line on standard output:
  COUNT            -> "COUNT <n>": requests received since the start or RESET, any unit
  COUNT <unit>     -> "COUNT <n>": the same for one unit
  REQUESTS         -> "REQUESTS <n>" then n lines "REQ <ms> <unit> <function> <address> <count>",
                      one per request on a known unit (ms: monotonic time of its arrival)
  RESET            -> "OK": clears the counts and the request list
  SILENT <unit>    -> "OK": the unit stops answering (requests are still counted)
  ANSWER <unit>    -> "OK": the unit answers again
  SET <unit> <hr|ir> <address> <value> -> "OK": changes one register
  GET <unit> <hr|ir> <address> [<count>] -> "VALUE <v> ...": the registers as they stand
  QUIT             -> ends the server

With MODBUS_PEER_DEBUG set in the environment, pymodbus logs every frame on standard error.
Serial peers use no parity: a pseudo terminal with parity set drops what the other end writes.
"""

import argparse
import asyncio
import json
import logging
import os
import sys
import time

from pymodbus.datastore import ModbusServerContext, ModbusSlaveContext, ModbusSparseDataBlock
from pymodbus.exceptions import NoSuchSlaveException
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.server.async_io import ModbusSerialServer, ModbusTcpServer

START = time.monotonic()


class Recorder:
    def __init__(self):
        self.silent = set()
        self.reset()

    def reset(self):
        self.total = 0
        self.per_unit = {}
        self.requests = []

    def arrived(self, unit):
        self.total += 1
        self.per_unit[unit] = self.per_unit.get(unit, 0) + 1


class RecordingSlave(ModbusSlaveContext):
    def __init__(self, unit, recorder, **kwargs):
        super().__init__(**kwargs)
        self.unit = unit
        self.recorder = recorder

    def validate(self, fc_as_hex, address, count=1):
        ms = int((time.monotonic() - START) * 1000)
        self.recorder.requests.append((ms, self.unit, fc_as_hex, address, count))
        return super().validate(fc_as_hex, address, count)


class RecordingContext(ModbusServerContext):
    """Counts every request and hides silenced or unknown units (no reply at all)."""

    def __init__(self, slaves, recorder):
        super().__init__(slaves=slaves, single=False)
        self.recorder = recorder

    def slaves(self):
        return list(range(0, 256))

    def __getitem__(self, unit):
        self.recorder.arrived(unit)
        if unit in self.recorder.silent:
            raise NoSuchSlaveException(f"unit {unit} is silent")
        return super().__getitem__(unit)


def registers(spec):
    values = {}
    for key, value in (spec or {}).items():
        address = int(key)
        for offset, word in enumerate(value if isinstance(value, list) else [value]):
            values[address + offset] = int(word) & 0xFFFF
    return values


def build_context(table, recorder, ident=None):
    slaves = {}
    for unit, spec in table.items():
        hr = registers(spec.get("hr"))
        ir = registers(spec.get("ir"))
        slaves[int(unit)] = RecordingSlave(
            int(unit), recorder,
            hr=ModbusSparseDataBlock(hr) if hr else ModbusSparseDataBlock({}),
            ir=ModbusSparseDataBlock(ir) if ir else ModbusSparseDataBlock({}),
            zero_mode=True)
        if ident is not None:
            slaves[int(unit)].reportSlaveIdData = ident
    return RecordingContext(slaves, recorder)


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def command(line, context, recorder, stop):
    words = line.split()
    if not words:
        return
    word = words[0].upper()
    try:
        if word == "COUNT":
            say(f"COUNT {recorder.per_unit.get(int(words[1]), 0) if len(words) > 1 else recorder.total}")
        elif word == "REQUESTS":
            say(f"REQUESTS {len(recorder.requests)}")
            for ms, unit, fc, address, count in recorder.requests:
                say(f"REQ {ms} {unit} {fc} {address} {count}")
        elif word == "RESET":
            recorder.reset()
            say("OK")
        elif word == "SILENT":
            recorder.silent.add(int(words[1]))
            say("OK")
        elif word == "ANSWER":
            recorder.silent.discard(int(words[1]))
            say("OK")
        elif word == "SET":
            unit, kind, address, value = int(words[1]), words[2], int(words[3]), int(words[4])
            slave = ModbusServerContext.__getitem__(context, unit)
            slave.store["h" if kind == "hr" else "i"].values[address] = value & 0xFFFF
            say("OK")
        elif word == "GET":
            unit, kind, address = int(words[1]), words[2], int(words[3])
            count = int(words[4]) if len(words) > 4 else 1
            slave = ModbusServerContext.__getitem__(context, unit)
            values = slave.store["h" if kind == "hr" else "i"].values
            say("VALUE " + " ".join(str(values.get(a, -1)) for a in range(address, address + count)))
        elif word == "QUIT":
            stop.set()
        else:
            say(f"ERROR unknown command {word}")
    except (IndexError, ValueError, NoSuchSlaveException) as exc:
        say(f"ERROR {exc}")


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--table", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--rtu")
    parser.add_argument("--baud", type=int, default=9600)
    parser.add_argument("--parity", default="N")
    parser.add_argument("--stopbits", type=int, default=1)
    parser.add_argument("--ident")
    args = parser.parse_args()

    text = args.table
    if text.startswith("@"):
        with open(text[1:], encoding="utf-8") as handle:
            text = handle.read()
    recorder = Recorder()
    ident = bytes.fromhex(args.ident) if args.ident is not None else None
    context = build_context(json.loads(text), recorder, ident)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()

    def on_stdin():
        line = sys.stdin.readline()
        if not line:
            stop.set()
            return
        command(line, context, recorder, stop)

    if args.rtu:
        server = ModbusSerialServer(context, framer=ModbusRtuFramer, port=args.rtu, baudrate=args.baud,
                                    parity=args.parity, stopbits=args.stopbits, bytesize=8,
                                    ignore_missing_slaves=True)
        await server.start()
        say(f"READY {args.rtu}")
        loop.add_reader(sys.stdin.fileno(), on_stdin)
        await stop.wait()
        await server.shutdown()
    else:
        server = ModbusTcpServer(context, address=("127.0.0.1", args.port), ignore_missing_slaves=True,
                                 allow_reuse_address=True)
        task = asyncio.create_task(server.serve_forever())
        await server.serving
        say(f"READY {server.server.sockets[0].getsockname()[1]}")
        loop.add_reader(sys.stdin.fileno(), on_stdin)
        await stop.wait()
        await server.server_close()
        task.cancel()


if __name__ == "__main__":
    logging.basicConfig(level=logging.DEBUG if os.environ.get("MODBUS_PEER_DEBUG") else logging.CRITICAL)
    asyncio.run(main())
