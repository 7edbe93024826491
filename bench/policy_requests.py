#!/usr/bin/env python3
"""Sends COUNT policy requests, one per connection as Postfix does with
smtpd_policy_service_request_limit = 1, to each port in turn, and prints one
line per request: the port and the round trip in milliseconds (connect, send,
read the answer to the end). The request is the MAIL-stage request Postfix
sent in the tests, for a client at 127.0.0.2 without TLS.
    policy_requests.py COUNT WARMUP PORT [PORT ...]"""
import socket
import sys
import time

REQUEST = "".join(f"{k}={v}\n" for k, v in [
    ("request", "smtpd_access_policy"), ("protocol_state", "MAIL"), ("protocol_name", "ESMTP"),
    ("client_address", "127.0.0.2"), ("client_name", "unknown"), ("client_port", "40000"),
    ("reverse_client_name", "unknown"), ("server_address", "127.0.0.1"), ("server_port", "2525"),
    ("helo_name", "client.partner.test"), ("sender", "bench@example.org"), ("recipient", ""),
    ("recipient_count", "0"), ("queue_id", ""), ("instance", "1a2b.5f3c.9d1e.0"), ("size", "0"),
    ("etrn_domain", ""), ("stress", ""), ("sasl_method", ""), ("sasl_username", ""),
    ("sasl_sender", ""), ("ccert_subject", ""), ("ccert_issuer", ""), ("ccert_fingerprint", ""),
    ("ccert_pubkey_fingerprint", ""), ("encryption_protocol", ""), ("encryption_cipher", ""),
    ("encryption_keysize", "0"), ("policy_context", ""), ("compatibility_level", "3.6"),
    ("mail_version", "3.7.11")]) + "\n"


def ask(port):
    start = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=10) as conn:
        conn.sendall(REQUEST.encode())
        while conn.recv(4096):
            pass
    return (time.perf_counter() - start) * 1000.0


def main():
    count, warmup = int(sys.argv[1]), int(sys.argv[2])
    ports = [int(p) for p in sys.argv[3:]]
    for i in range(warmup + count):
        for port in ports:
            elapsed = ask(port)
            if i >= warmup:
                print(f"{port} {elapsed:.3f}")


if __name__ == "__main__":
    main()
