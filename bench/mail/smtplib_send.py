#!/usr/bin/python3
"""The anchor: Python's smtplib sends the same mails, one connection each.

Usage: smtplib_send.py <port> <plain|starttls> <caFile> <count>   prints "<ms>"
"""
import smtplib
import ssl
import sys
import time
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

port, mode, ca, count = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
context = ssl.create_default_context(cafile=ca)
messages = []
for i in range(count):
    message = MIMEMultipart("related")
    message["From"] = "Dalvoran <plant@bench.example>"
    message["To"] = "<operator@bench.example>"
    message["Subject"] = "Alarm %d: tank level high" % i
    html = ('<!DOCTYPE html><html><head><meta http-equiv="Content-Type" content="text/html; charset=UTF-8" />'
            '</head><body><p>Alarm %d became active: level 93.4 %% above 90 %%.</p></body></html>' % i)
    message.attach(MIMEText(html, "html", "utf-8"))
    messages.append(message.as_string())

start = time.monotonic()
for text in messages:
    with smtplib.SMTP("127.0.0.1", port) as client:
        if mode == "starttls":
            client.starttls(context=context)
        client.login("bench", "pw")
        client.sendmail("plant@bench.example", ["operator@bench.example"], text)
print("%d" % round((time.monotonic() - start) * 1000))
