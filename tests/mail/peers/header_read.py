#!/usr/bin/python3
"""Reads one mail text on standard input and prints how a mail reader sees its header.

Usage:
  header_read.py < MESSAGE

Prints one JSON object: "subject" (the Subject decoded word by word), "from" (the display name
of the sender) and "to" (the display names of the To recipients), all as Python's email package
reads them with its current policy, and "defects" (what that parser found wrong in those
headers, by class name).
"""

import email
import email.header
import email.policy
import json
import sys


def main():
    data = sys.stdin.buffer.read()
    legacy = email.message_from_bytes(data)
    current = email.message_from_bytes(data, policy=email.policy.default)
    subject = str(email.header.make_header(email.header.decode_header(legacy["Subject"])))
    defects = []
    for name in ("Subject", "From", "To"):
        defects += [type(d).__name__ for d in current[name].defects]
    print(json.dumps({
        "subject": subject,
        "from": current["From"].addresses[0].display_name,
        "to": [a.display_name for a in current["To"].addresses],
        "defects": defects,
    }))


if __name__ == "__main__":
    main()
