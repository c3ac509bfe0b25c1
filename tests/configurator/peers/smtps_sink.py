#!/usr/bin/python3
"""SMTPS (implicit TLS) server that requires a login and records what it receives.

Usage:
  smtps_sink.py --cert CERT --key KEY

Listens on 127.0.0.1 on a free port and prints "READY <port>". Every login prints
"LOGIN <hex of user> <hex of password>", every message "MAIL <from> <rcpt,...> <hex of the data>".
A login is accepted whatever its password. Ends when standard input closes.
"""

import argparse
import socket
import ssl
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


class Recorder:
    async def handle_DATA(self, server, session, envelope):
        say(f"MAIL {envelope.mail_from} {','.join(envelope.rcpt_tos)} {envelope.original_content.hex()}")
        return "250 OK"


def authenticator(server, session, envelope, mechanism, auth_data):
    say(f"LOGIN {auth_data.login.hex()} {auth_data.password.hex()}")
    return AuthResult(success=True)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    args = parser.parse_args()
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    port = free_port()
    controller = Controller(Recorder(), hostname="127.0.0.1", port=port, ssl_context=context,
                            authenticator=authenticator, auth_required=True, auth_require_tls=False)
    controller.start()
    say(f"READY {port}")
    sys.stdin.read()
    controller.stop()


if __name__ == "__main__":
    main()
