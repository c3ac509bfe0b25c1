"""Slow, bursty and normal clients against one HTTP server on loopback.

  slow_clients.py mix PORT [--slow N] [--slow-kind head|body] [--slow-from A] [--normal M]
                           [--normal-from B] [--seconds S] [--interval I] [--path P]
                           [--upload BYTES] [--upload-rate BPS]
  slow_clients.py burst PORT --clients N [--path P] [--timeout S]

mix: N slow clients from address A (default 127.0.0.1) either send a request head one byte every
I seconds (default 2), or send a whole POST head at once and then its body one byte every I
seconds; each connects again as soon as the server closes or answers, as an attacker would. M
normal clients from address B (default 127.0.0.1) send GET P (default /index.html), one request
per connection, back to back, for S seconds (default 20). With --upload, one more client sends a
multipart upload of that many bytes to /importConfig.html at BPS bytes a second (default 200000),
as the browser's configuration import does. Prints one JSON object: the normal requests, how
many were answered 200, how many got another status (503 and so on) or no reply within 5 s, the
slow connections that were made, and the upload's status and time.

burst: N clients connect at once, each sends GET P with "Connection: close" and reads the reply.
Prints the counts of 200, 503, other replies and no reply (within --timeout, default 30 s), the
longest wait for a reply, and the clients that could not even start to connect (no local port
free, a fault of the client's machine, not of the server).
"""
import argparse
import errno
import json
import resource
import selectors
import socket
import threading
import time

SLOW_HEAD = b"GET /index.html HTTP/1.1\r\nHost: slow\r\nUser-Agent: slow\r\nX-Padding: " + b"p" * 200 + b"\r\n\r\n"
SLOW_BODY_HEAD = (b"POST /index.html HTTP/1.1\r\nHost: slow\r\nUser-Agent: slow\r\n"
                  b"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 10000\r\n\r\n")


def connect(port, source, timeout):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def slow_client(args, stop, stats, lock):
    if args.slow_kind == "head":
        first, rest = b"", SLOW_HEAD
    else:
        first, rest = SLOW_BODY_HEAD, b"a" * 10000
    while not stop.is_set():
        try:
            sock = connect(args.port, args.slow_from, 5)
        except OSError:
            time.sleep(0.01)
            continue
        with lock:
            stats["slow_connections"] += 1
        sent = 0
        try:
            if first:
                sock.sendall(first)
            while not stop.is_set() and sent < len(rest):
                sock.sendall(rest[sent:sent + 1])
                sent += 1
                # Waits for the next byte, noticing at once when the server has closed.
                sock.settimeout(args.interval)
                try:
                    sock.recv(65536)
                    # The end of the connection or any answer (a 503) ends this connection.
                    break
                except socket.timeout:
                    pass
        except OSError:
            pass
        finally:
            sock.close()


def read_status(sock):
    data = b""
    while b"\r\n" not in data:
        piece = sock.recv(65536)
        if not piece:
            break
        data += piece
    parts = data.split(b" ", 2)
    return int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0


def normal_client(args, stop, stats, lock):
    request = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n" % (args.path, args.port)).encode()
    while not stop.is_set():
        status = 0
        try:
            sock = connect(args.port, args.normal_from, 5)
            try:
                sock.sendall(request)
                status = read_status(sock)
                # The whole reply is read, as a browser would.
                while sock.recv(65536):
                    pass
            finally:
                sock.close()
        except OSError:
            pass
        with lock:
            stats["normal"] += 1
            key = "ok" if status == 200 else ("no_reply" if status == 0 else "other_status")
            stats[key] += 1
        if status != 200:
            # A refused browser tries again a moment later, not in a tight loop.
            time.sleep(0.05)


def upload_client(args, result):
    boundary = b"----benchUpload7f3a"
    part_head = (b"--" + boundary + b"\r\nContent-Disposition: form-data; name=\"uploadedfile\"; "
                 b"filename=\"bench.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n")
    part_end = b"\r\n--" + boundary + b"--\r\n"
    content = (b"0123456789abcdef" * (args.upload // 16 + 1))[:args.upload]
    body = part_head + content + part_end
    head = ("POST /importConfig.html HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n"
            "Content-Type: multipart/form-data; boundary=%s\r\nContent-Length: %d\r\n\r\n"
            % (args.port, boundary.decode(), len(body))).encode()
    start = time.monotonic()
    status = 0
    try:
        sock = connect(args.port, args.normal_from, 30)
        sock.sendall(head)
        # Pieces every 0.05 s at the given rate.
        piece = max(1, int(args.upload_rate * 0.05))
        sent = 0
        while sent < len(body):
            sock.sendall(body[sent:sent + piece])
            sent += piece
            next_at = start + sent / args.upload_rate
            pause = next_at - time.monotonic()
            if pause > 0:
                time.sleep(pause)
        status = read_status(sock)
        while sock.recv(65536):
            pass
        sock.close()
    except OSError as error:
        result["upload_error"] = str(error)
    result["upload_status"] = status
    result["upload_seconds"] = round(time.monotonic() - start, 2)


def mode_mix(args):
    stop = threading.Event()
    lock = threading.Lock()
    stats = {"normal": 0, "ok": 0, "other_status": 0, "no_reply": 0, "slow_connections": 0}
    slow = [threading.Thread(target=slow_client, args=(args, stop, stats, lock), daemon=True)
            for _ in range(args.slow)]
    for thread in slow:
        thread.start()
    # The slow clients take the threads first, as they would on a server under attack.
    time.sleep(min(3.0, args.seconds / 4))
    with lock:
        for key in stats:
            stats[key] = 0
    normal = [threading.Thread(target=normal_client, args=(args, stop, stats, lock), daemon=True)
              for _ in range(args.normal)]
    upload = {}
    if args.upload:
        normal.append(threading.Thread(target=upload_client, args=(args, upload), daemon=True))
    for thread in normal:
        thread.start()
    time.sleep(args.seconds)
    stop.set()
    for thread in normal:
        thread.join(30)
    with lock:
        result = dict(stats)
    result["share_ok"] = result["ok"] / result["normal"] if result["normal"] else 0.0
    result.update(upload)
    return result


def mode_burst(args):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    request = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n" % (args.path, args.port)).encode()
    selector = selectors.DefaultSelector()
    start = time.monotonic()
    clients = {}
    failed = 0
    for _ in range(args.clients):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setblocking(False)
        if sock.connect_ex(("127.0.0.1", args.port)) not in (0, errno.EINPROGRESS):
            failed += 1
            sock.close()
            continue
        clients[sock] = {"data": b"", "sent": False, "done": None}
        selector.register(sock, selectors.EVENT_WRITE)
    deadline = start + args.timeout
    open_count = len(clients)
    while open_count and time.monotonic() < deadline:
        for key, _ in selector.select(timeout=max(0.0, deadline - time.monotonic())):
            sock = key.fileobj
            state = clients[sock]
            if not state["sent"]:
                if sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                    state["done"] = time.monotonic()
                    selector.unregister(sock)
                    open_count -= 1
                    sock.close()
                    continue
                try:
                    sock.send(request)
                except OSError:
                    pass
                state["sent"] = True
                selector.modify(sock, selectors.EVENT_READ)
                continue
            try:
                piece = sock.recv(65536)
            except OSError:
                piece = b""
            state["data"] += piece
            if not piece:
                state["done"] = time.monotonic()
                selector.unregister(sock)
                open_count -= 1
                # As a browser does once the reply has ended.
                sock.close()
    counts = {"clients": args.clients, "ok": 0, "refused": 0, "other": 0, "no_reply": 0, "unconnected": failed}
    longest = 0.0
    for sock, state in clients.items():
        parts = state["data"].split(b" ", 2)
        status = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
        key = {200: "ok", 503: "refused", 0: "no_reply"}.get(status, "other")
        counts[key] += 1
        if status:
            longest = max(longest, state["done"] - start)
        sock.close()
    counts["longest_wait"] = round(longest, 2)
    return counts


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["mix", "burst"])
    parser.add_argument("port", type=int)
    parser.add_argument("--slow", type=int, default=100)
    parser.add_argument("--slow-kind", choices=["head", "body"], default="head")
    parser.add_argument("--normal", type=int, default=20)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--interval", type=float, default=2)
    parser.add_argument("--path", default="/index.html")
    parser.add_argument("--slow-from", default="127.0.0.1")
    parser.add_argument("--normal-from", default="127.0.0.1")
    parser.add_argument("--upload", type=int, default=0)
    parser.add_argument("--upload-rate", type=float, default=200000)
    parser.add_argument("--clients", type=int, default=90)
    parser.add_argument("--timeout", type=float, default=30)
    args = parser.parse_args()
    print(json.dumps(mode_mix(args) if args.mode == "mix" else mode_burst(args)))


if __name__ == "__main__":
    main()
