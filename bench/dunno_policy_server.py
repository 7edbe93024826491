#!/usr/bin/env python3
"""A trivial Postfix policy service for the benchmark, on 127.0.0.1 at the
ports given (default 998 and 999): like keelgate, it answers after the first
read of a request, without waiting for the request's empty line, and closes
the connection; its answer is always "action=DUNNO". One thread serves both
ports, one connection at a time (the benchmark's sessions come one after
another), so no thread start or lock hand-over is counted. Runs until killed."""
import selectors
import socket
import sys


def main():
    ports = [int(p) for p in sys.argv[1:]] or [998, 999]
    selector = selectors.DefaultSelector()
    for port in ports:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", port))
        listener.listen(64)
        selector.register(listener, selectors.EVENT_READ)
    while True:
        for key, _ in selector.select():
            conn, _ = key.fileobj.accept()
            with conn:
                conn.settimeout(10)
                try:
                    if conn.recv(4096):
                        conn.sendall(b"action=DUNNO\n\n")
                except OSError:
                    pass


if __name__ == "__main__":
    main()
