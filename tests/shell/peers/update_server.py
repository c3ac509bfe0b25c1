#!/usr/bin/python3
"""Update server for the updater's tests, on a free loopback port.

Serves from the folder given as the first argument:
  GET  .../fileList?moduleName=NAME  -> the file lists/NAME (404 when missing)
  GET  .../files/PATH                -> the file files/PATH (404 when missing); any request whose
                                        path holds "hang" never answers, one holding "evil" answers EVIL
  POST .../check/STATUS              -> status STATUS, body "ANSWER:" + the request body
  POST .../hang                      -> never answers
Every request is printed as one line: METHOD raw-path [content-type body].
Prints "READY <port>" once listening.
"""
import os
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit

ROOT = sys.argv[1]
LOCK = threading.Lock()


def log(line):
    with LOCK:
        print(line, flush=True)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def stall(self):
        time.sleep(30)
        self.close_connection = True

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        log("POST %s %s %s" % (self.path, self.headers.get("Content-Type"), body.decode("latin-1")))
        path = urlsplit(self.path).path
        if "hang" in path:
            return self.stall()
        last = path.rstrip("/").split("/")[-1]
        status = int(last) if last.isdigit() else 200
        self.reply(status, b"ANSWER:" + body)

    def do_GET(self):
        log("GET %s" % self.path)
        parts = urlsplit(self.path)
        if "hang" in self.path:
            return self.stall()
        if parts.path.endswith("/fileList"):
            name = parse_qs(parts.query).get("moduleName", [""])[0]
            return self.serve(os.path.join(ROOT, "lists", name.replace("/", "_")))
        if "evil" in self.path:
            return self.reply(200, b"EVIL")
        marker = "/files/"
        at = parts.path.find(marker)
        if at < 0:
            return self.reply(404, b"not found")
        return self.serve(os.path.join(ROOT, "files", unquote(parts.path[at + len(marker):])))

    def serve(self, path):
        if not os.path.isfile(path):
            return self.reply(404, b"not found")
        with open(path, "rb") as f:
            self.reply(200, f.read())


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print("READY %d" % server.server_address[1], flush=True)
try:
    server.serve_forever()
except KeyboardInterrupt:
    pass
