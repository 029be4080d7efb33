#!/usr/bin/env python3
"""Sits between the service and the NVR peer on 127.0.0.1 and passes every
byte through unchanged, noting the frames the service sends: how many, how
many carry the compressed container, the largest payload.  Used by
scripts/test-windows, where the service runs under Wine.

  frametap.py LISTEN_PORT_FILE TARGET_PORT REPORT_FILE

Writes the port it listens on into LISTEN_PORT_FILE, serves one connection
at a time for as long as it runs, and rewrites REPORT_FILE after each frame:
"frames=N compressed=M largest=L unpacked=U" (U: the largest length a
compressed container declares for its contents).
"""
import socket
import struct
import sys
import threading

MAGIC = b"\xab\xab\x12\x12"


class Counter:
    def __init__(self, path):
        self.path = path
        self.frames = self.compressed = self.largest = self.unpacked = 0
        self.lock = threading.Lock()

    def frame(self, payload):
        with self.lock:
            self.frames += 1
            if payload.startswith(MAGIC) and len(payload) >= 8:
                self.compressed += 1
                self.unpacked = max(self.unpacked, struct.unpack("<I", payload[4:8])[0])
            self.largest = max(self.largest, len(payload))
            with open(self.path, "w") as f:
                f.write(f"frames={self.frames} compressed={self.compressed} "
                        f"largest={self.largest} unpacked={self.unpacked}\n")


def pump(src, dst, counter=None):
    pending = b""
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
            if counter is None:
                continue
            pending += data
            while pending:
                if pending[0] != 2:  # keep-alive byte or noise between frames
                    pending = pending[1:]
                    continue
                end = pending.find(b"\x03")
                if end < 0:
                    break
                length = int(pending[1:end])
                if len(pending) < end + 1 + length:
                    break
                counter.frame(pending[end + 1:end + 1 + length])
                pending = pending[end + 1 + length:]
    except (OSError, ValueError):
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def main():
    port_file, target, report = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    counter = Counter(report)
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(4)
    with open(port_file, "w") as f:
        f.write(f"{server.getsockname()[1]}\n")
    while True:
        service, _ = server.accept()
        try:
            peer = socket.create_connection(("127.0.0.1", target), timeout=5)
            peer.settimeout(None)
        except OSError:
            service.close()
            continue
        threading.Thread(target=pump, args=(service, peer, counter), daemon=True).start()
        threading.Thread(target=pump, args=(peer, service), daemon=True).start()


if __name__ == "__main__":
    main()
