#!/usr/bin/python3
"""SMTP server for the mail tests, on aiosmtpd.

Usage:
  smtp_server.py --mode plain|tls|starttls [--cert PEM --key PEM] [--user U --password P]
                 [--refuse-data]

Listens on 127.0.0.1 port 0 and prints "READY <port>". --mode tls speaks TLS from the first byte,
starttls offers STARTTLS (both need --cert and --key). AUTH PLAIN and LOGIN are offered also on a
plain connection; only --user/--password log in. Lines it prints:
  CONNECT                         a connection was accepted
  AUTH <ok|fail> <login>          a login attempt
  MAIL <json>                     a mail: {"from":..,"rcpt":[..],"data":<base64 of what arrived>}
--refuse-data answers every mail with 554 after its data.
"""

import argparse
import asyncio
import base64
import json
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


class Handler:
    def __init__(self, refuse):
        self.refuse = refuse

    async def handle_DATA(self, server, session, envelope):
        say("MAIL " + json.dumps({
            "from": envelope.mail_from,
            "rcpt": envelope.rcpt_tos,
            "data": base64.b64encode(envelope.original_content).decode("ascii"),
        }))
        return "554 refused" if self.refuse else "250 OK"


class CountingSMTP(SMTP):
    def connection_made(self, transport):
        say("CONNECT")
        super().connection_made(transport)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", default="plain", choices=["plain", "tls", "starttls"])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    parser.add_argument("--refuse-data", action="store_true")
    args = parser.parse_args()

    context = None
    if args.mode != "plain":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)

    def authenticator(server, session, envelope, mechanism, auth_data):
        login = auth_data.login.decode("utf-8", "replace")
        ok = auth_data.login == args.user.encode() and auth_data.password == args.password.encode()
        say("AUTH %s %s" % ("ok" if ok else "fail", login))
        return AuthResult(success=ok, handled=False)

    handler = Handler(args.refuse_data)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    def factory():
        return CountingSMTP(handler, hostname="test.local", authenticator=authenticator,
                            auth_require_tls=False,
                            tls_context=context if args.mode == "starttls" else None,
                            loop=loop)

    server = loop.run_until_complete(loop.create_server(
        factory, "127.0.0.1", 0, ssl=context if args.mode == "tls" else None))
    say("READY %d" % server.sockets[0].getsockname()[1])
    loop.run_forever()


if __name__ == "__main__":
    main()
