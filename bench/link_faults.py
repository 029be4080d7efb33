#!/usr/bin/env python3
"""The NVR link against a slow or hostile NVR, from the real service binary.

Plays the NVR itself (reading at a chosen rate, or not at all) and prints one
JSON line per case:

  requests   150 events/s with 30 KB photos, NVR reading 2 MB/s: seconds until
             a one-instance Lnl_Badge lookup and the status request behind it
             are answered
  fattemplate  a subscription carrying a 64 KB parameter at 100 events/s, the
             NVR reading nothing for 40 s: RSS growth, and the refusal
  junksubs   20 subscriptions carrying 200 KB of junk each, then the NVR
             leaves for 25 s: RSS growth
  bomb       a 61 MiB payload compressed into one small frame: peak RSS
  length     a header declaring 99,999,999 bytes, then status requests: whether
             the link is closed and the next link answers

  bench/link_faults.py [--build DIR] [--case NAME ...]
"""

import argparse
import json
import os
import re
import socket
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lumivar_e2e import Run, access_repository, proc_kb  # noqa: E402

DECL = '<?xml version="1.0" encoding="utf-8"?>'


def xml_escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def request(action, class_name="", params_in=(), params_out=()):
    body = f"<root><action>{action}</action><class_name>{xml_escape(class_name)}</class_name>"
    for tag, params in (("params_in", params_in), ("params_out", params_out)):
        if params:
            body += f"<{tag}>" + "".join(
                f"<parameter><name>{n}</name>" + (f"<value>{xml_escape(v)}</value>" if v else "")
                + "</parameter>" for n, v in params) + f"</{tag}>"
    return frame((DECL + body + "</root>").encode())


def frame(payload):
    return b"\x02%05d\x03" % len(payload) + payload


def container(data):
    return b"\xAB\xAB\x12\x12" + len(data).to_bytes(4, "little") + zlib.compress(data, 9)


class Nvr:
    """One listening socket; decodes the actions of what the service sends."""

    def __init__(self, port):
        self.listen = socket.socket()
        self.listen.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listen.bind(("127.0.0.1", port))
        self.listen.listen(1)
        self.conn = None
        self.buf = b""
        self.received = []  # (time, action, class_name)

    def accept(self, timeout=30):
        self.listen.settimeout(timeout)
        self.conn, _ = self.listen.accept()
        self.conn.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 * 1024)
        self.buf = b""

    def send(self, data):
        self.conn.sendall(data)

    def read(self, budget, timeout):
        """Reads at most 'budget' bytes within 'timeout': the count, -1 when closed."""
        self.conn.settimeout(timeout)
        try:
            data = self.conn.recv(min(budget, 65536))
        except socket.timeout:
            return 0
        except OSError:
            return -1
        if not data:
            return -1
        self.buf += data
        self.decode()
        return len(data)

    def decode(self):
        while True:
            start = self.buf.find(b"\x02")
            if start < 0:
                self.buf = b""
                return
            end = self.buf.find(b"\x03", start)
            if end < 0:
                return
            length = int(self.buf[start + 1:end])
            if len(self.buf) < end + 1 + length:
                self.buf = self.buf[start:]
                return
            payload = self.buf[end + 1:end + 1 + length]
            self.buf = self.buf[end + 1 + length:]
            if payload[:4] == b"\xAB\xAB\x12\x12":
                payload = zlib.decompress(payload[8:])
            head = payload[:400].decode("utf-8", "replace")
            action = re.search(r"<action>(-?\d+)</action>", head)
            name = re.search(r"<class_name>([^<]*)</class_name>", head)
            self.received.append((time.monotonic(), int(action.group(1)) if action else None,
                                  name.group(1) if name else ""))

    def read_at(self, rate, seconds, until=None):
        """Reads at 'rate' bytes/s for 'seconds' or until 'until()' holds."""
        t0 = time.monotonic()
        got = 0
        while time.monotonic() - t0 < seconds:
            if until and until():
                return True
            allowed = int(rate * (time.monotonic() - t0)) - got
            if allowed <= 0:
                time.sleep(0.005)
                continue
            n = self.read(allowed, 0.05)
            if n < 0:
                return False
            got += n
        return bool(until and until())


def rss(run):
    return proc_kb(run.service.pid, "VmRSS")


def start(build, env, persons=20, photo=30000):
    run = Run(build)
    repo = run.path("access.mof")
    with open(repo, "w") as f:
        f.write(access_repository(persons, photo))
    nvr = Nvr(run.port)
    e = {"LUMIVAR_WMI_REPOSITORY": repo}
    e.update(env)
    run.start_service(e)
    nvr.accept(60)
    nvr.send(request(4, "root\\AccessControl"))
    return run, nvr


def case_requests(build):
    run, nvr = start(build, {"LUMIVAR_WMI_EVENT_RATE": "150"})
    try:
        nvr.send(request(3, "Lnl_AccessEvent", params_out=[("cardnumber", ""), ("SerialNumber", "")]))
        nvr.read_at(2_000_000, 20)
        t0 = time.monotonic()
        mark = len(nvr.received)
        nvr.send(request(1, "Lnl_Badge", params_in=[("ID", "200001")], params_out=[("PersonID", "")]))
        nvr.send(request(5))

        def answered(action):
            return [t for t, a, c in nvr.received[mark:] if a == action and c != "Lnl_AccessEvent"]
        nvr.read_at(2_000_000, 90, lambda: answered(1) and answered(5))
        lookup, status = answered(1), answered(5)
        events = sum(1 for t, a, c in nvr.received[mark:] if c == "Lnl_AccessEvent")
        return {"case": "requests", "lookup_s": round(lookup[0] - t0, 2) if lookup else None,
                "status_s": round(status[0] - t0, 2) if status else None,
                "events_meanwhile": events, "rss_kb": rss(run)}
    finally:
        run.close()


def case_fattemplate(build):
    run, nvr = start(build, {"LUMIVAR_WMI_EVENT_RATE": "100"}, photo=170)
    try:
        nvr.read_at(10_000_000, 3)
        before = rss(run)
        nvr.send(request(3, "Lnl_AccessEvent", params_in=[("junk", "j" * 65536)],
                         params_out=[("cardnumber", ""), ("SerialNumber", "")]))
        peak = before
        for _ in range(40):
            time.sleep(1)
            peak = max(peak, rss(run))
        nvr.read_at(10_000_000, 5)
        refused = any(c == "Lnl_AccessEvent" and a == 3 for t, a, c in nvr.received)
        return {"case": "fattemplate", "rss_before_kb": before, "rss_peak_kb": peak,
                "growth_mb": round((peak - before) / 1024, 1),
                "refused": "Refused: subscription request too large" in run.log_text() or refused}
    finally:
        run.close()


def case_junksubs(build):
    run, nvr = start(build, {"LUMIVAR_WMI_EVENT_RATE": "100"}, photo=170)
    try:
        nvr.read_at(10_000_000, 3)
        before = rss(run)
        for i in range(20):
            nvr.send(request(3, "Lnl_AccessEvent" if i == 0 else f"Junk_Event{i}",
                             params_in=[("junk", "j" * 200_000)], params_out=[("SerialNumber", "")]))
        nvr.read_at(10_000_000, 1)
        nvr.conn.close()
        peak = before
        for _ in range(25):
            time.sleep(1)
            peak = max(peak, rss(run))
        return {"case": "junksubs", "rss_before_kb": before, "rss_peak_kb": peak,
                "growth_mb": round((peak - before) / 1024, 1)}
    finally:
        run.close()


def case_bomb(build):
    run, nvr = start(build, {"LUMIVAR_WMI_EVENT_RATE": "0"}, photo=170)
    try:
        nvr.read_at(10_000_000, 2)
        before = rss(run)
        inner = (DECL + "<root><action>5</action><class_name>" + " " * (61 << 20)
                 + "</class_name></root>").encode()
        packed = container(inner)
        nvr.send(frame(packed) + request(5))
        peak = before
        closed = False
        t0 = time.monotonic()
        while time.monotonic() - t0 < 10:
            peak = max(peak, rss(run))
            if nvr.read(1 << 20, 0.05) < 0:
                closed = True
                break
        time.sleep(1)
        return {"case": "bomb", "wire_bytes": len(packed), "rss_before_kb": before,
                "rss_peak_kb": max(peak, rss(run)), "rss_after_kb": rss(run), "link_closed": closed}
    finally:
        run.close()


def case_length(build):
    run, nvr = start(build, {"LUMIVAR_WMI_EVENT_RATE": "0"}, photo=170)
    try:
        nvr.read_at(10_000_000, 2)
        nvr.send(b"\x0299999999\x03" + request(5) * 100)
        closed = False
        t0 = time.monotonic()
        while time.monotonic() - t0 < 10:
            if nvr.read(1 << 20, 0.1) < 0:
                closed = True
                break
        t1 = time.monotonic()
        nvr.accept(30)
        nvr.send(request(5))
        mark = len(nvr.received)
        nvr.read_at(10_000_000, 10, lambda: any(a == 5 for t, a, c in nvr.received[mark:]))
        return {"case": "length", "link_closed": closed, "closed_after_s": round(t1 - t0, 2),
                "status_on_next_link": any(a == 5 for t, a, c in nvr.received[mark:])}
    finally:
        run.close()


CASES = {"requests": case_requests, "fattemplate": case_fattemplate, "junksubs": case_junksubs,
         "bomb": case_bomb, "length": case_length}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("--case", action="append", choices=sorted(CASES))
    args = ap.parse_args()
    for name in args.case or list(CASES):
        print(json.dumps(CASES[name](os.path.abspath(args.build))), flush=True)


if __name__ == "__main__":
    main()
