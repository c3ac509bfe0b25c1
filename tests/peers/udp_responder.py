#!/usr/bin/python3
"""UDP stand-in for devices that answer a network search, on loopback.

Usage:
  udp_responder.py [--bind 127.0.0.1] [--reply TEXT]... [--log FILE]

Listens on the address, port 0, and prints "READY <port>". Every datagram it receives is a probe:
it is counted, written as "PROBE <n> <hex bytes>" to standard output (and appended to --log), and
answered with every --reply, each one datagram sent back to the sender, in the order given.
TEXT takes Python escapes (\\r, \\n, \\x00, \\\\) and is sent as Latin-1 bytes.
"""

import argparse
import codecs
import socket
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--reply", action="append", default=[])
    parser.add_argument("--log")
    args = parser.parse_args()
    replies = [codecs.decode(text, "unicode_escape").encode("latin-1") for text in args.reply]

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((args.bind, 0))
    print(f"READY {sock.getsockname()[1]}", flush=True)
    probes = 0
    while True:
        data, sender = sock.recvfrom(65536)
        probes += 1
        line = f"PROBE {probes} {data.hex()}"
        print(line, flush=True)
        if args.log:
            with open(args.log, "a", encoding="ascii") as log:
                log.write(line + "\n")
        for reply in replies:
            sock.sendto(reply, sender)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
