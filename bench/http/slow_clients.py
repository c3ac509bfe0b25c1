"""Slow request heads beside normal clients, against one HTTP server on loopback.

  slow_clients.py PORT [--slow N] [--normal M] [--seconds S] [--interval I] [--path P]
                       [--slow-from A] [--normal-from B]

N slow clients from address A (default 127.0.0.1) each send a request head one byte every I
seconds (default 2) and connect again as soon as the server closes, as an attacker would; M
normal clients from address B (default 127.0.0.2) send GET P (default /index.html), one request
per connection, back to back, for S seconds (default 20). Prints one JSON object: the normal
requests, how many were answered 200, how many got another status (503 and so on) or no reply
within 5 s, and the slow connections that were made.
"""
import argparse
import json
import socket
import threading
import time

SLOW_HEAD = b"GET /index.html HTTP/1.1\r\nHost: slow\r\nUser-Agent: slow\r\nX-Padding: " + b"p" * 200 + b"\r\n\r\n"


def connect(port, source, timeout):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def slow_client(args, stop, stats, lock):
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
            while not stop.is_set() and sent < len(SLOW_HEAD):
                sock.sendall(SLOW_HEAD[sent:sent + 1])
                sent += 1
                # Waits for the next byte, noticing at once when the server has closed.
                sock.settimeout(args.interval)
                try:
                    if not sock.recv(65536):
                        break
                    # Any answer (a 503) ends this connection too.
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("--slow", type=int, default=100)
    parser.add_argument("--normal", type=int, default=20)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--interval", type=float, default=2)
    parser.add_argument("--path", default="/index.html")
    parser.add_argument("--slow-from", default="127.0.0.1")
    parser.add_argument("--normal-from", default="127.0.0.2")
    args = parser.parse_args()

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
    for thread in normal:
        thread.start()
    time.sleep(args.seconds)
    stop.set()
    for thread in normal:
        thread.join(10)
    with lock:
        result = dict(stats)
    result["share_ok"] = result["ok"] / result["normal"] if result["normal"] else 0.0
    print(json.dumps(result))


if __name__ == "__main__":
    main()
