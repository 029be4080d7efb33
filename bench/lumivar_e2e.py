#!/usr/bin/env python3
"""End-to-end measurements of the real service against the NVR peer on 127.0.0.1.

Each measurement starts `TessarinLumivar` in service mode with a private data folder
(PROGRAMDATA) and a settings file pointing at `nvrpeer`, lets the peer drive it,
and reads the service's CPU time, context switches and memory from /proc.
Results are printed as one JSON object per measurement (and kept in --out).

  lumivar_e2e.py idle    [--seconds S]
  lumivar_e2e.py events  --rate R [--seconds S] [--warmup W] [--latencies FILE]
  lumivar_e2e.py lookup  [--instances N]

Raise-to-receipt delays come from the events themselves: the WMI stand-in
stamps TIME_CREATED (system clock) when it raises an event, the peer reads the
same clock when the event arrives.  SerialNumber, numbered by the stand-in's
generator, shows which events never arrived.
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(SOURCE_DIR, "scripts"))
from statslog import stats_blocks  # noqa: E402  (the soak report reads the log the same way)

CLK_TCK = os.sysconf("SC_CLK_TCK")
PAGE_KB = os.sysconf("SC_PAGE_SIZE") // 1024
EVENT_PROPS = "cardnumber SerialNumber Time TIME_CREATED ReaderName EventType Description Granted"


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


# ----------------------------------------------------------------- /proc
def proc_cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime, all threads


def proc_status(pid):
    out = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            out[key] = value.strip()
    return out


def proc_kb(pid, key):
    return int(proc_status(pid)[key].split()[0])


def proc_switches(pid):
    """Voluntary and involuntary context switches summed over all threads."""
    vol = invol = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            st = {}
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                for line in f:
                    key, _, value = line.partition(":")
                    st[key] = value.strip()
            vol += int(st["voluntary_ctxt_switches"])
            invol += int(st["nonvoluntary_ctxt_switches"])
        except (FileNotFoundError, KeyError, ProcessLookupError):
            pass
    return vol, invol


class Sample:
    def __init__(self, pid):
        self.t = time.monotonic()
        self.ticks = proc_cpu_ticks(pid)
        self.vol, self.invol = proc_switches(pid)
        self.rss = proc_kb(pid, "VmRSS")

    def cpu_percent_since(self, earlier):
        return 100.0 * (self.ticks - earlier.ticks) / CLK_TCK / (self.t - earlier.t)

    def switches_per_second_since(self, earlier):
        dt = self.t - earlier.t
        return ((self.vol - earlier.vol) / dt, (self.invol - earlier.invol) / dt)


# ----------------------------------------------------------------- repositories
def photo_bytes(person, size):
    """Incompressible bytes behind a JPEG signature, as a camera photo is."""
    rnd = random.Random(person)
    return bytes([0xFF, 0xD8, 0xFF, 0xE0]) + bytes(rnd.getrandbits(8) for _ in range(size - 4))


def access_repository(persons, photo_size):
    """Persons with badges and photos of 'photo_size' bytes, and the access event class."""
    with open(os.path.join(SOURCE_DIR, "libs", "wmi", "wmi_accessschema.mof")) as f:
        schema = f.read()
    lines = ['#pragma namespace("\\\\\\\\.\\\\root\\\\AccessControl")', schema]
    for p in range(1, persons + 1):
        lines.append(
            f'instance of Lnl_Person {{ ID = {p}; FirstName = "First{p}"; '
            f'LastName = "Last{p}"; SSNO = "{100 + p:03d}-45-{1000 + p:04d}"; }};'
        )
        lines.append(f"instance of Lnl_Badge {{ ID = {200000 + p}; PersonID = {p}; }};")
        data = ",".join(str(b) for b in photo_bytes(p, photo_size))
        lines.append(
            f"instance of Lnl_MultimediaObject {{ ID = {p}; PersonID = {p}; ObjectType = 1; "
            f'DataType = 0; MimeType = "image/jpeg"; Data = {{{data}}}; }};'
        )
    return "\n".join(lines) + "\n"


def lookup_repository(instances):
    lines = [
        '#pragma namespace("\\\\\\\\.\\\\root\\\\AccessControl")',
        "class Bench_Reader { [key] sint32 ID; string Name; string Site; sint32 Panel; boolean Online; };",
    ]
    for i in range(1, instances + 1):
        lines.append(
            f'instance of Bench_Reader {{ ID = {i}; Name = "Reader {i}"; '
            f'Site = "Site {i % 17}"; Panel = {i % 64}; Online = true; }};'
        )
    return "\n".join(lines) + "\n"


# ----------------------------------------------------------------- the run
class Run:
    """A private data folder, the NVR peer and the service."""

    def __init__(self, build, keep=False):
        self.build = build
        self.dir = tempfile.mkdtemp(prefix="lumivar-e2e.")
        self.keep = keep
        self.data = os.path.join(self.dir, "data")
        os.makedirs(os.path.join(self.data, "Tessarin", "Lumivar"))
        self.port = free_port()
        with open(os.path.join(self.data, "Tessarin", "Lumivar", "Settings"), "w") as f:
            f.write(f"[NVR]\nAddress=127.0.0.1\nPort={self.port}\n")
        # The service trusts only settings that group and others cannot write.
        os.chmod(os.path.join(self.data, "Tessarin", "Lumivar"), 0o700)
        os.chmod(os.path.join(self.data, "Tessarin", "Lumivar", "Settings"), 0o600)
        self.peer = None
        self.service = None
        self.log = os.path.join(self.data, "Tessarin", "Lumivar", "Logs", "wrapper.log")

    def path(self, name):
        return os.path.join(self.dir, name)

    def start_peer(self, requests, extra=()):
        args = [os.path.join(self.build, "bin", "nvrpeer"), "--listen", f"127.0.0.1:{self.port}",
                "--quiet", "--summary", "--summary-json", self.path("peer.json")]
        for r in requests:
            args += ["--request", r]
        args += list(extra)
        self.peer_err = open(self.path("peer.err"), "w")
        self.peer = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=self.peer_err, text=True)
        line = self.peer.stdout.readline()
        if not line.startswith("listening on"):
            raise RuntimeError("nvrpeer did not start: " + line)

    def start_service(self, env=None, wrapper=()):
        """Service mode under a stand-in for systemd's notification socket, so
        that SIGTERM ends the process the way the service manager stops it."""
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(self.path("notify"))
        e = dict(os.environ)
        e["PROGRAMDATA"] = self.data
        e["NOTIFY_SOCKET"] = self.path("notify")
        e.setdefault("LUMIVAR_WMI_EVENT_RATE", "0")
        e.update(env or {})
        self.service_out = open(self.path("service.out"), "w")
        self.service = subprocess.Popen(list(wrapper) + [os.path.join(self.build, "bin", "TessarinLumivar")],
                                        env=e, stdout=self.service_out, stderr=subprocess.STDOUT)

    def wait_for(self, what, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if what():
                return True
            if self.service and self.service.poll() is not None:
                raise RuntimeError("service ended early, see " + self.path("service.out"))
            time.sleep(0.05)
        return False

    def peer_said(self, text):
        with open(self.path("peer.err")) as f:
            return text in f.read()

    def log_text(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_connected(self, timeout=30):
        if not self.wait_for(lambda: self.peer_said("service connected"), timeout):
            raise RuntimeError("the service did not connect within %d s" % timeout)

    def stop_peer(self, timeout=30):
        if self.peer and self.peer.poll() is None:
            self.peer.send_signal(signal.SIGTERM)
        if self.peer:
            self.peer.wait(timeout)
        try:
            with open(self.path("peer.json")) as f:
                return json.load(f)
        except (FileNotFoundError, json.JSONDecodeError):
            return {}

    def stop_service(self, timeout=60):
        if self.service and self.service.poll() is None:
            self.service.send_signal(signal.SIGTERM)
            try:
                self.service.wait(timeout)
            except subprocess.TimeoutExpired:
                self.service.kill()
                self.service.wait()
        return self.service.returncode if self.service else None

    def close(self):
        for p in (self.service, self.peer):
            if p and p.poll() is None:
                p.kill()
                p.wait()
        if not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)


# ----------------------------------------------------------------- measurements
def measure_idle(build, seconds):
    run = Run(build)
    try:
        run.start_peer(["namespace root\\AccessControl", "status"])
        run.start_service()
        run.wait_connected()
        time.sleep(2)  # start-up work done
        pid = run.service.pid
        a = Sample(pid)
        time.sleep(seconds)
        b = Sample(pid)
        vol, invol = b.switches_per_second_since(a)
        return {"measure": "idle", "seconds": round(b.t - a.t, 2),
                "wakeups_per_second": round(vol + invol, 2),
                "voluntary_per_second": round(vol, 2), "involuntary_per_second": round(invol, 2),
                "cpu_percent": round(b.cpu_percent_since(a), 3),
                "threads": len(os.listdir(f"/proc/{pid}/task")), "rss_kb": b.rss}
    finally:
        run.stop_peer()
        run.stop_service()
        run.close()


def read_events(path):
    rows = []
    with open(path) as f:
        for line in f:
            t, serial, lat = line.split()
            rows.append((float(t), int(serial), int(lat)))
    return rows


def quantile(values, p):
    if not values:
        return 0.0
    s = sorted(values)
    return s[min(len(s) - 1, int(p * (len(s) - 1) + 0.5))]


def measure_events(build, rate, seconds, warmup, persons, photo_size, latencies_out=None):
    run = Run(build)
    try:
        repo = run.path("access.mof")
        with open(repo, "w") as f:
            f.write(access_repository(persons, photo_size))
        run.start_peer(["namespace root\\AccessControl", "subscribe Lnl_AccessEvent " + EVENT_PROPS],
                       ["--events-file", run.path("events.txt"), "--seconds", str(warmup + seconds + 600)])
        run.start_service({"LUMIVAR_WMI_REPOSITORY": repo, "LUMIVAR_WMI_EVENT_RATE": str(rate)})
        run.wait_connected(60)
        pid = run.service.pid
        time.sleep(warmup)
        a = Sample(pid)
        t0 = a.t
        time.sleep(seconds)
        b = Sample(pid)
        stats_text = run.log_text()
        peer = run.stop_peer()
        rows = read_events(run.path("events.txt"))
        # Window on the peer's clock: it started before the service, so take
        # the window from the first event's arrival plus the warm-up.
        if not rows:
            raise RuntimeError("no events arrived")
        start = rows[0][0] + warmup
        end = start + (b.t - t0)
        window = [r for r in rows if start <= r[0] < end]
        lat = [r[2] / 1000.0 for r in window if r[2] >= 0]
        serials = [r[1] for r in window if r[1] >= 0]
        raised_per_s = (max(serials) - min(serials) + 1) / (end - start) if serials else 0
        if latencies_out:
            with open(latencies_out, "w") as f:
                f.write("\n".join("%.3f" % v for v in lat) + "\n")
        return {"measure": "events", "rate_asked": rate, "seconds": round(end - start, 2),
                "raised_per_second": round(raised_per_s, 1),
                "events_per_second": round(len(window) / (end - start), 1),
                "cpu_percent": round(b.cpu_percent_since(a), 1),
                "latency_ms_median": round(quantile(lat, 0.5), 2),
                "latency_ms_p99": round(quantile(lat, 0.99), 2),
                "latency_ms_max": round(max(lat) if lat else 0, 2),
                "latency_samples": len(lat), "photo_bytes": photo_size,
                "rss_kb": b.rss, "peer_events": peer.get("events"),
                "stats_lines": len(stats_blocks(stats_text.splitlines()))}
    finally:
        run.stop_peer()
        run.stop_service()
        run.close()


def measure_lookup(build, instances):
    run = Run(build)
    try:
        repo = run.path("lookup.mof")
        with open(repo, "w") as f:
            f.write(lookup_repository(instances))
        run.start_peer(["namespace root\\AccessControl", "sleep 500",
                        "lookup Bench_Reader -- ID:int Name Site Panel:int Online"],
                       ["--count", str(instances), "--events-file", run.path("events.txt"),
                        "--seconds", "600"])
        run.start_service({"LUMIVAR_WMI_REPOSITORY": repo})
        run.wait_connected(60)
        pid = run.service.pid
        before = Sample(pid)
        hwm_before = proc_kb(pid, "VmHWM")
        run.peer.wait(600)
        after = Sample(pid)
        hwm = proc_kb(pid, "VmHWM")
        peer = run.stop_peer()
        with open(run.path("peer.err")) as f:
            err = f.read()
        m = re.search(r"reply latency ms: n=\d+ median=[\d.]+ p99=[\d.]+ max=([\d.]+)", err)
        first_to_last = None
        received = peer.get("received", 0)
        # The peer's reply latency is measured from the request's send to the
        # first reply; the whole answer took until the peer stopped.
        elapsed = peer.get("seconds", 0)
        return {"measure": "lookup", "instances": instances, "replies": received,
                "seconds_request_to_last_reply": round(after.t - before.t, 3),
                "replies_per_second": round(received / max(after.t - before.t, 1e-9), 1),
                "first_reply_ms": float(m.group(1)) if m else None,
                "vmhwm_kb": hwm, "vmhwm_kb_before": hwm_before, "rss_kb_after": after.rss,
                "cpu_percent": round(after.cpu_percent_since(before), 1), "peer_seconds": elapsed,
                "first_to_last": first_to_last}
    finally:
        run.stop_peer()
        run.stop_service()
        run.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("what", choices=["idle", "events", "lookup"])
    ap.add_argument("--build", default="build")
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--warmup", type=float, default=3)
    ap.add_argument("--rate", type=float, default=500)
    ap.add_argument("--persons", type=int, default=20)
    ap.add_argument("--photo-bytes", type=int, default=30 * 1024)
    ap.add_argument("--instances", type=int, default=10000)
    ap.add_argument("--latencies", help="events: write each delay in ms into this file")
    ap.add_argument("--out", help="append the JSON result to this file")
    a = ap.parse_args()
    if a.what == "idle":
        r = measure_idle(a.build, a.seconds)
    elif a.what == "events":
        r = measure_events(a.build, a.rate, a.seconds, a.warmup, a.persons, a.photo_bytes, a.latencies)
    else:
        r = measure_lookup(a.build, a.instances)
    line = json.dumps(r)
    print(line, flush=True)
    if a.out:
        with open(a.out, "a") as f:
            f.write(line + "\n")


if __name__ == "__main__":
    main()
