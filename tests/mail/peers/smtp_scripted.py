#!/usr/bin/python3
"""Scripted SMTP server for dialogue edges that a real server never shows.

Usage:
  smtp_scripted.py SCRIPT_JSON [--cert PEM --key PEM]

Listens on 127.0.0.1 port 0 and prints "READY <port>". The script is a JSON object:
  "greeting":       text sent on connect (default "220 scripted\r\n")
  "greetingDelay":  seconds to wait before the greeting (default 0)
  "replies":        command word (EHLO, STARTTLS, AUTH, MAIL, RCPT, DATA, ".", QUIT, "*" for any
                    other line) -> a list of texts sent in turn, the last one repeating
  "dribble":        {"on": WORD, "data": TEXT, "interval": SECONDS}: instead of replying to WORD
                    the server sends TEXT again and again until the client goes away
  "closeAfter":     a command word (or "." for the end of the mail) after whose reply the server
                    closes the connection at once
  "reset":          with closeAfter ".", the connection is reset (not closed) right after the
                    reply, so the client's next write fails
  "beforeTls":      {"data": TEXT, "delay": SECONDS}: after the 220 reply to STARTTLS, wait and
                    send TEXT in plain text as a write of its own, then start TLS
Texts are sent as they stand (Latin-1), so a missing line end or a bare code can be scripted.
After "STARTTLS" is answered with a 220 text, the server starts TLS with --cert/--key.
After DATA is answered with 354, the lines up to "." are the mail; its size is printed, as
MAILCUT when the connection ended before the ".".
Lines it prints: "CONN <n>", "CMD <line>", "TLS ok", "TLS fail", "MAILDATA <bytes>",
"MAILCUT <bytes>", "CLOSED".
"""

import json
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time

lock = threading.Lock()
counters = {"conn": 0, "reply": {}}


def say(line):
    with lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


class Handler(socketserver.BaseRequestHandler):
    def setup(self):
        with lock:
            counters["conn"] += 1
            n = counters["conn"]
        # The connection's number, not id(self): a finished handler's id is reused by the next
        # one, which would then go on with its predecessor's replies.
        self.number = n
        say("CONN %d" % n)
        self.sock = self.request
        self.reader = self.sock.makefile("rb")

    def send(self, text):
        self.sock.sendall(text.encode("latin-1"))

    def reply_for(self, word):
        replies = SCRIPT.get("replies", {})
        defaults = {"EHLO": ["250 scripted\r\n"], "STARTTLS": ["220 go ahead\r\n"], "AUTH": ["235 ok\r\n"],
                    "MAIL": ["250 ok\r\n"], "RCPT": ["250 ok\r\n"], "DATA": ["354 go\r\n"],
                    ".": ["250 queued\r\n"], "QUIT": ["221 bye\r\n"], "*": ["235 ok\r\n"]}
        texts = replies.get(word, defaults.get(word, ["500 unknown\r\n"]))
        with lock:
            key = (self.number, word)
            index = counters["reply"].get(key, 0)
            counters["reply"][key] = index + 1
        return texts[min(index, len(texts) - 1)]

    def handle(self):
        try:
            time.sleep(SCRIPT.get("greetingDelay", 0))
            self.send(SCRIPT.get("greeting", "220 scripted\r\n"))
            while True:
                raw = self.reader.readline()
                if not raw:
                    break
                line = raw.decode("latin-1").rstrip("\r\n")
                say("CMD " + line)
                word = line.split(" ", 1)[0].upper() if line else ""
                if word not in ("EHLO", "STARTTLS", "AUTH", "MAIL", "RCPT", "DATA", "QUIT"):
                    word = "*"
                dribble = SCRIPT.get("dribble")
                if dribble and dribble.get("on") == word:
                    while True:
                        self.send(dribble["data"])
                        time.sleep(dribble.get("interval", 0.05))
                text = self.reply_for(word)
                self.send(text)
                if word == "STARTTLS" and text.startswith("220"):
                    before = SCRIPT.get("beforeTls")
                    if before:
                        time.sleep(before.get("delay", 0))
                        self.send(before["data"])
                    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                    context.load_cert_chain(CERT, KEY)
                    try:
                        self.sock = context.wrap_socket(self.sock, server_side=True)
                    except (ssl.SSLError, OSError):
                        say("TLS fail")
                        break
                    say("TLS ok")
                    self.reader = self.sock.makefile("rb")
                elif word == "DATA" and text.startswith("354"):
                    size = 0
                    ended = False
                    while True:
                        data = self.reader.readline()
                        if not data:
                            break
                        if data == b".\r\n":
                            ended = True
                            break
                        size += len(data)
                    say("%s %d" % ("MAILDATA" if ended else "MAILCUT", size))
                    if not ended:
                        break
                    self.send(self.reply_for("."))
                    if SCRIPT.get("closeAfter") == ".":
                        if SCRIPT.get("reset"):
                            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                            self.sock.close()
                            say("RESET")
                            return
                        break
                elif word == "QUIT" or SCRIPT.get("closeAfter") == word:
                    break
        except OSError:
            pass
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        say("CLOSED")


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    global SCRIPT, CERT, KEY
    SCRIPT = json.loads(sys.argv[1])
    CERT = KEY = None
    args = sys.argv[2:]
    if "--cert" in args:
        CERT = args[args.index("--cert") + 1]
    if "--key" in args:
        KEY = args[args.index("--key") + 1]
    server = Server(("127.0.0.1", 0), Handler)
    say("READY %d" % server.server_address[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
