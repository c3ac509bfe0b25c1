#!/usr/bin/python3
"""A browser whose download stalls: it asks for a page, reads the reply head and stops reading
until a line arrives on its standard input, then reads the rest and saves the body.

Its small receive buffer keeps the server inside the download while it waits.

    stalled_download.py HOST PORT PATH OUTPUT
prints "READY <status line>" once the head is in and "DONE <body bytes>" at the end."""

import socket
import sys


def dechunk(body):
    out = b""
    while body:
        size_line, _, body = body.partition(b"\r\n")
        size = int(size_line.split(b";")[0], 16)
        if size == 0:
            break
        out += body[:size]
        body = body[size + 2:]
    return out


def main():
    host, port, path, output = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.connect((host, port))
    sock.sendall(b"GET /" + path.encode() + b" HTTP/1.1\r\nHost: " + host.encode() +
                 b"\r\nConnection: close\r\n\r\n")
    data = b""
    while b"\r\n\r\n" not in data:
        piece = sock.recv(4096)
        if not piece:
            break
        data += piece
    print("READY", data.split(b"\r\n", 1)[0].decode("latin-1"), flush=True)
    sys.stdin.readline()
    # The rest comes at full speed.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    while True:
        piece = sock.recv(65536)
        if not piece:
            break
        data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    if b"transfer-encoding: chunked" in head.lower():
        body = dechunk(body)
    with open(output, "wb") as out:
        out.write(body)
    print("DONE", len(body), flush=True)


if __name__ == "__main__":
    main()
