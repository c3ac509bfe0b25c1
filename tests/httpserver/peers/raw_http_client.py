"""Raw-socket HTTP client for the server's end-to-end tests.

Each mode prints one JSON object on standard output. The request bytes come from standard
input where a mode sends one. Replies are given as latin-1 text so that every byte survives.

  exchange PORT [--keep-sending N] [--timeout S]
      send the request, optionally keep sending N filler bytes (a client that goes on
      uploading), then read until the server closes: reply, eof, reset, seconds
  pieces PORT --interval S [--size N] [--head N] [--timeout S]
      send the first N bytes (--head) at once, then the rest of the request in pieces of
      --size bytes (default 1) with S seconds between them, read
      while sending; stop when the server answers or closes: reply, eof, reset, sent, seconds
  stall PORT --stall S
      send the request, read nothing for S seconds, then read everything: received, eof, reset
  hold PORT --count N
      keep N connections busy with one finished keep-alive request each, then open one more
      and read its whole reply; then end one busy connection and try again until one is
      served: extra, served_after_release
  crowd PORT --uploads N --parts P --big-parts B --arrivals M --interval S [--path P]
      at once: one multipart upload of B one-byte file parts and N uploads of P parts each,
      all to --path (default /sleep?ms=2000); meanwhile M plain GET /json requests, one every
      S seconds; each client on a thread of its own; then wait for every reply: big (the
      reply to the big upload), replies (all replies: the big one, the uploads, the arrivals)
"""
import argparse
import json
import socket
import sys
import threading
import time


def connect(port, timeout):
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    sock.settimeout(timeout)
    return sock


def read_until_close(sock, deadline):
    data = b""
    eof = reset = timed_out = False
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            timed_out = True
            break
        sock.settimeout(left)
        try:
            piece = sock.recv(65536)
        except socket.timeout:
            timed_out = True
            break
        except ConnectionResetError:
            reset = True
            break
        if not piece:
            eof = True
            break
        data += piece
    return data, eof, reset, timed_out


def read_one_response(sock):
    """Reads one response framed by Content-Length (the /json call); returns its bytes."""
    data = b""
    while b"\r\n\r\n" not in data:
        piece = sock.recv(65536)
        if not piece:
            return data
        data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(body) < length:
        piece = sock.recv(65536)
        if not piece:
            break
        body += piece
    return head + b"\r\n\r\n" + body


def text(data):
    return data.decode("latin-1")


def mode_exchange(args, request):
    start = time.monotonic()
    sock = connect(args.port, args.timeout)
    sock.sendall(request)
    sent_extra = 0
    if args.keep_sending:
        filler = b"x" * 4096
        sock.settimeout(0.05)
        while sent_extra < args.keep_sending:
            try:
                sent_extra += sock.send(filler[: args.keep_sending - sent_extra])
            except (socket.timeout, BlockingIOError):
                break
            except (BrokenPipeError, ConnectionResetError):
                break
    data, eof, reset, timed_out = read_until_close(sock, start + args.timeout)
    sock.close()
    return {"reply": text(data), "eof": eof, "reset": reset, "timeout": timed_out,
            "seconds": time.monotonic() - start}


def mode_pieces(args, request):
    start = time.monotonic()
    sock = connect(args.port, args.timeout)
    sent = 0
    data = b""
    eof = reset = False
    while sent < len(request) and not (eof or reset):
        size = args.head if sent == 0 and args.head else args.size
        try:
            sock.sendall(request[sent: sent + size])
        except (BrokenPipeError, ConnectionResetError):
            reset = True
            break
        sent = min(len(request), sent + size)
        # Read whatever came back while waiting for the next piece.
        sock.settimeout(args.interval if sent < len(request) else 0.01)
        try:
            piece = sock.recv(65536)
            if piece:
                data += piece
            else:
                eof = True
        except socket.timeout:
            pass
        except ConnectionResetError:
            reset = True
        if data:
            break
    timed_out = False
    if not (eof or reset):
        more, eof, reset, timed_out = read_until_close(sock, time.monotonic() + args.timeout)
        data += more
    sock.close()
    return {"reply": text(data), "eof": eof, "reset": reset, "timeout": timed_out,
            "sent": sent, "seconds": time.monotonic() - start}


def mode_stall(args, request):
    sock = connect(args.port, 30)
    sock.sendall(request)
    time.sleep(args.stall)
    received = 0
    eof = reset = False
    sock.settimeout(10)
    while True:
        try:
            piece = sock.recv(1 << 20)
        except ConnectionResetError:
            reset = True
            break
        except socket.timeout:
            break
        if not piece:
            eof = True
            break
        received += len(piece)
    sock.close()
    return {"received": received, "eof": eof, "reset": reset}


def mode_hold(args, request):
    busy = []
    for _ in range(args.count):
        sock = connect(args.port, 10)
        sock.sendall(b"GET /json HTTP/1.1\r\nHost: t\r\n\r\n")
        reply = read_one_response(sock)
        if not reply.startswith(b"HTTP/1.1 200"):
            return {"error": "busy connection not served: " + text(reply)}
        busy.append(sock)
    extra = connect(args.port, 10)
    extra.sendall(b"GET /json HTTP/1.1\r\nHost: t\r\n\r\n")
    data, eof, reset, _ = read_until_close(extra, time.monotonic() + 10)
    extra.close()
    busy.pop().close()
    served = False
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and not served:
        sock = connect(args.port, 10)
        sock.sendall(b"GET /json HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n")
        reply, _, _, _ = read_until_close(sock, time.monotonic() + 10)
        sock.close()
        served = reply.startswith(b"HTTP/1.1 200")
        if not served:
            time.sleep(0.05)
    for sock in busy:
        sock.close()
    return {"extra": text(data), "eof": eof, "reset": reset, "served_after_release": served}


def many_file_parts(path, count):
    body = b"".join(b"--b0und\r\nContent-Disposition: form-data; name=\"f%d\"; filename=\"f\"\r\n\r\nx\r\n" % i
                    for i in range(count)) + b"--b0und--\r\n"
    return (b"POST " + path.encode() + b" HTTP/1.1\r\nHost: t\r\nConnection: close\r\n"
            b"Content-Type: multipart/form-data; boundary=b0und\r\nContent-Length: %d\r\n\r\n" % len(body) + body)


def mode_crowd(args, _request):
    replies = {}

    def client(key, request):
        try:
            sock = connect(args.port, 30)
            sock.sendall(request)
            data, _, reset, _ = read_until_close(sock, time.monotonic() + 30)
            sock.close()
            replies[key] = text(data) + ("<reset>" if reset else "")
        except OSError as error:
            replies[key] = "<%s>" % error

    threads = [threading.Thread(target=client, args=(0, many_file_parts(args.path, args.big_parts)))]
    threads += [threading.Thread(target=client, args=(1 + i, many_file_parts(args.path, args.parts)))
                for i in range(args.uploads)]
    for thread in threads:
        thread.start()
    for i in range(args.arrivals):
        time.sleep(args.interval)
        thread = threading.Thread(target=client, args=(1 + args.uploads + i,
                                                        b"GET /json HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n"))
        thread.start()
        threads.append(thread)
    for thread in threads:
        thread.join()
    return {"big": replies[0], "replies": [replies[key] for key in sorted(replies)]}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["exchange", "pieces", "stall", "hold", "crowd"])
    parser.add_argument("port", type=int)
    parser.add_argument("--timeout", type=float, default=10.0)
    parser.add_argument("--keep-sending", type=int, default=0)
    parser.add_argument("--interval", type=float, default=0.1)
    parser.add_argument("--size", type=int, default=1)
    parser.add_argument("--head", type=int, default=0)
    parser.add_argument("--stall", type=float, default=3.0)
    parser.add_argument("--count", type=int, default=1)
    parser.add_argument("--uploads", type=int, default=0)
    parser.add_argument("--parts", type=int, default=1)
    parser.add_argument("--big-parts", type=int, default=1)
    parser.add_argument("--arrivals", type=int, default=0)
    parser.add_argument("--path", default="/sleep?ms=2000")
    args = parser.parse_args()
    request = b"" if args.mode in ("hold", "crowd") else sys.stdin.buffer.read()
    modes = {"exchange": mode_exchange, "pieces": mode_pieces, "stall": mode_stall, "hold": mode_hold,
             "crowd": mode_crowd}
    print(json.dumps(modes[args.mode](args, request)))


if __name__ == "__main__":
    main()
