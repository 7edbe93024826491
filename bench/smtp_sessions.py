#!/usr/bin/env python3
"""Runs SMTP sessions one after another against Postfix, taking the ports in
turn (so that every port sees the same load on the machine), and prints one
line per session: the port and the session's time in milliseconds. A session
is connect, EHLO, MAIL, RCPT, DATA with a small message and QUIT, as a client
at SOURCE; a rejected session ends the run with an error, since the benchmark
measures sessions that deliver.
    smtp_sessions.py SOURCE COUNT WARMUP PORT [PORT ...]   (COUNT per port)"""
import smtplib
import sys
import time

MESSAGE = ("From: bench@example.org\r\nTo: bob@keelgate.test\r\n"
           "Subject: keelgate session benchmark\r\n\r\nOne small message.\r\n")


def session(port, source):
    start = time.perf_counter()
    with smtplib.SMTP("127.0.0.1", port, local_hostname="client.partner.test",
                      source_address=(source, 0), timeout=30) as smtp:
        smtp.sendmail("bench@example.org", ["bob@keelgate.test"], MESSAGE)
    return (time.perf_counter() - start) * 1000.0


def main():
    source, count, warmup = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    ports = [int(p) for p in sys.argv[4:]]
    for i in range(warmup + count):
        for port in ports:
            elapsed = session(port, source)
            if i >= warmup:
                print(f"{port} {elapsed:.3f}")


if __name__ == "__main__":
    main()
