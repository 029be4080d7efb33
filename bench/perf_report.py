#!/usr/bin/env python3
"""Writes docs/performance.md from the benchmark programs' JSON output and the
end-to-end results of lumivar_e2e.py, and draws the histogram of the
raise-to-receipt delays as an SVG file.

  perf_report.py --bench-dir DIR --e2e FILE --latencies FILE --md FILE --svg FILE

DIR holds <program>.json (Google Benchmark, --benchmark_format=json); FILE of
--e2e holds one JSON object per end-to-end measurement; --latencies one delay
in milliseconds per line (the run at 500 events/s).
"""

import argparse
import datetime
import glob
import json
import os
import platform
import re

LATENCY_P99_TARGET_MS = 75.0  # at 500 events/s
CPU_PERCENT_TARGET = 50.0  # of one core at the ceiling, 30 KB photos
CPU_MS_PER_EVENT_TARGET = 0.5  # with 30 KB photos
CODEC_RATIO_TARGET = 1.5
SIZE_RATIO_TARGET = 1.02  # compressed photo message against zlib's default level
LARGE_PHOTO = 30 * 1024


def source_constant(header, name):
    """The integer a header of the tree gives the constant 'name'."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", header)
    with open(path) as f:
        m = re.search(r"\b%s = (\d+);" % re.escape(name), f.read())
    if not m:
        raise SystemExit("perf_report: no %s in %s" % (name, header))
    return int(m.group(1))


# The Client drains at most k_DRAIN_PER_TICK events every k_EVENT_DRAIN_MS.
DRAIN_PER_TICK = source_constant("client/client.h", "k_DRAIN_PER_TICK")
DRAIN_MS = source_constant("client/client.h", "k_EVENT_DRAIN_MS")
EVENT_CEILING = DRAIN_PER_TICK * 1000.0 / DRAIN_MS
COMPRESSOR_LEVEL = source_constant("libs/core/core_compressor.h", "k_LEVEL")

# (program, ours, reference, what is compared, target ratio or None)
PAIRS = [
    ("core_bench", "BM_StrFormatLogLine", "BM_SnprintfLogLine",
     "Format engine: a log line with strFormat against snprintf", None),
    ("lnl_bench", "BM_CodecRoundTrip/0", "BM_ReferenceLibxml2Zlib/0",
     "NVR codec round trip, status reply, against libxml2 + zlib directly", CODEC_RATIO_TARGET),
    ("lnl_bench", "BM_CodecRoundTrip/1", "BM_ReferenceLibxml2Zlib/1",
     "NVR codec round trip, access event with 30 KB photo, against libxml2 + zlib directly",
     CODEC_RATIO_TARGET),
    ("com_bench", "BM_LoopbackThroughKernelLoop/real_time", "BM_LoopbackBlockingSend/real_time",
     "TCP loopback, 64 KiB sends through the kernel loop, against blocking send", None),
    ("xml_bench", "BM_Save", "BM_SaveFloor", "Document save against libxml2 + zlib floor", None),
    ("xml_bench", "BM_Load", "BM_LoadFloor", "Document load against libxml2 + zlib floor", None),
    ("xml_bench", "BM_LoadPlainXml", "BM_ParsePlainXmlFloor",
     "Plain XML load against libxml2 parse", None),
]


def load_benchmarks(folder):
    """{program: {name: benchmark}} and the context of the first program."""
    out, context = {}, None
    for path in sorted(glob.glob(os.path.join(folder, "*.json"))):
        with open(path) as f:
            try:
                doc = json.load(f)
            except json.JSONDecodeError:
                continue
        if "benchmarks" not in doc:
            continue
        context = context or doc.get("context")
        prog = os.path.splitext(os.path.basename(path))[0]
        out[prog] = {b["name"]: b for b in doc["benchmarks"] if b.get("run_type", "iteration") == "iteration"}
    return out, context


def to_seconds(value, unit):
    return value * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[unit]


def rate_text(b):
    """The benchmark's figure in its natural unit (per CPU second)."""
    if "bytes_per_second" in b:
        return "%.0f MB/s" % (b["bytes_per_second"] / 1e6)
    if "items_per_second" in b:
        return "%s/s" % si(b["items_per_second"])
    return "%s per op" % duration(to_seconds(b["cpu_time"], b["time_unit"]))


def si(v):
    for div, suffix in ((1e9, " G"), (1e6, " M"), (1e3, " k")):
        if v >= div:
            return "%.3g%s" % (v / div, suffix)
    return "%.3g " % v


def duration(s):
    if s >= 1e-3:
        return "%.3g ms" % (s * 1e3)
    if s >= 1e-6:
        return "%.3g us" % (s * 1e6)
    return "%.3g ns" % (s * 1e9)


def figure(b, t):
    if "bytes_per_second" in b or "items_per_second" in b:
        return "%s (%s CPU per op)" % (rate_text(b), duration(t))
    return "%s CPU per op" % duration(t)


def bench_rows(benches):
    rows, used = [], set()
    for prog, ours, ref, what, target in PAIRS:
        a = benches.get(prog, {}).get(ours)
        b = benches.get(prog, {}).get(ref)
        if not a or not b:
            continue
        used.update({(prog, ours), (prog, ref)})
        ta = to_seconds(a["cpu_time"], a["time_unit"])
        tb = to_seconds(b["cpu_time"], b["time_unit"])
        ratio = ta / tb if tb > 0 else float("inf")
        for key in ("bytes_per_second", "items_per_second"):
            if key in a and key in b and a[key] > 0:
                ratio = b[key] / a[key]  # throughput, on the benchmark's own clock
                break
        verdict = ""
        if target is not None:
            verdict = "met (< %.1fx)" % target if ratio <= target else "missed (> %.1fx)" % target
        rows.append((what, figure(a, ta), figure(b, tb), "%.2fx" % ratio, verdict))
    # The compressed size of the photo message against zlib's default level.
    a = benches.get("xml_bench", {}).get("BM_Save")
    b = benches.get("xml_bench", {}).get("BM_SaveFloor")
    if a and b and a.get("saved_bytes") and b.get("saved_bytes"):
        ratio = a["saved_bytes"] / b["saved_bytes"]
        rows.append(("Compressed size of the photo message against zlib's default level",
                     "%d bytes" % a["saved_bytes"], "%d bytes" % b["saved_bytes"], "%.3fx" % ratio,
                     ("met" if ratio <= SIZE_RATIO_TARGET else "missed") +
                     " (within %d %%)" % round(100 * (SIZE_RATIO_TARGET - 1))))
    alone = []
    for prog in sorted(benches):
        for name, b in benches[prog].items():
            if (prog, name) in used:
                continue
            t = to_seconds(b["cpu_time"], b["time_unit"])
            label = (" (%s)" % b["label"]) if b.get("label") else ""
            alone.append(("%s %s%s" % (prog, name, label), "%s CPU per op" % duration(t), rate_text(b)))
    return rows, alone


def load_e2e(path):
    runs = []
    if path and os.path.exists(path):
        with open(path) as f:
            for line in f:
                line = line.strip()
                if line:
                    runs.append(json.loads(line))
    return runs


def photo_text(size):
    return "%g KB" % (size / 1024.0) if size >= 1024 else "%d-byte" % size


def e2e_rows(runs):
    rows = []
    events = sorted((r for r in runs if r["measure"] == "events"),
                    key=lambda r: (-r.get("photo_bytes", 0), r["rate_asked"]))
    for r in events:
        asked = r["rate_asked"]
        expected = min(asked, EVENT_CEILING)
        got = r["events_per_second"]
        photo = photo_text(r.get("photo_bytes", 0))
        rows.append(("Access events with %s photos received, %g/s raised" % (photo, asked),
                     "%.1f events/s (serial numbers spanned %.1f/s)" % (got, r["raised_per_second"]),
                     "%.0f events/s (%s)" % (expected, "raised rate" if asked < EVENT_CEILING else "design ceiling"),
                     "%.2f" % (got / expected), "met" if got >= 0.95 * expected else "missed"))
        ms_per_event = 10 * r["cpu_percent"] / got if got else 0
        large = r.get("photo_bytes", 0) >= LARGE_PHOTO
        # The targets hold under load; at low rates the service's idle work
        # and cold caches weigh on each event.
        per_event_ok = ms_per_event <= CPU_MS_PER_EVENT_TARGET
        if large and asked == EVENT_CEILING:
            core_ok = r["cpu_percent"] < CPU_PERCENT_TARGET and got >= 0.95 * expected
            cpu = ("< %.0f %% of one core, <= %.1f ms per event" % (CPU_PERCENT_TARGET, CPU_MS_PER_EVENT_TARGET),
                   "%.2f" % (r["cpu_percent"] / CPU_PERCENT_TARGET),
                   "met" if core_ok and per_event_ok else "missed")
        elif large and asked == 500:
            cpu = ("<= %.1f ms per event" % CPU_MS_PER_EVENT_TARGET, "%.2f" % (ms_per_event / CPU_MS_PER_EVENT_TARGET),
                   "met" if per_event_ok else "missed")
        else:
            cpu = ("", "", "")
        rows.append(("Service CPU at %g events/s raised (%s photos)" % (asked, photo),
                     "%.1f %% of one core (%.2f ms per event)" % (r["cpu_percent"], ms_per_event)) + cpu)
        rows.append(("Raise-to-receipt delay at %g events/s (%s photos)" % (asked, photo),
                     "median %.1f ms, p99 %.1f ms, max %.1f ms (%d samples)" %
                     (r["latency_ms_median"], r["latency_ms_p99"], r["latency_ms_max"], r["latency_samples"]),
                     "p99 < %.0f ms" % LATENCY_P99_TARGET_MS, "%.2f" % (r["latency_ms_p99"] / LATENCY_P99_TARGET_MS),
                     ("met" if r["latency_ms_p99"] < LATENCY_P99_TARGET_MS else "missed") if asked == 500 else ""))
    for r in runs:
        if r["measure"] == "idle":
            rows.append(("Idle service (link up, no events): wake-ups",
                         "%.1f context switches/s (%.1f voluntary), %d threads" %
                         (r["wakeups_per_second"], r["voluntary_per_second"], r["threads"]), "", "", ""))
            rows.append(("Idle service: CPU", "%.3f %% of one core over %.0f s" % (r["cpu_percent"], r["seconds"]),
                         "", "", ""))
        elif r["measure"] == "lookup":
            rows.append(("Lookup answered by %d instances" % r["instances"],
                         "%d replies in %.2f s = %.0f replies/s" %
                         (r["replies"], r["seconds_request_to_last_reply"], r["replies_per_second"]),
                         "%d replies" % r["instances"], "%.2f" % (r["replies"] / r["instances"]),
                         "complete" if r["replies"] == r["instances"] else "incomplete"))
            rows.append(("Service peak memory (VmHWM) over the lookup",
                         "%d kB (before the lookup %d kB)" % (r["vmhwm_kb"], r["vmhwm_kb_before"]), "", "", ""))
    return rows


def table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    for r in rows:
        out.append("| " + " | ".join(str(c) for c in r) + " |")
    return "\n".join(out)


def latency_svg(samples, path, title):
    """A histogram of the delays, 40 bins up to the 99.9th percentile (the
    rest in the last bin), with median and p99 marked."""
    w, h, left, right, top, bottom = 720, 360, 60, 20, 40, 50
    s = sorted(samples)
    if not s:
        s = [0.0]
    hi = max(s[min(len(s) - 1, int(0.999 * (len(s) - 1)))], 1.0)
    bins = 40
    width = hi / bins
    counts = [0] * bins
    for v in s:
        counts[min(bins - 1, int(v / width))] += 1
    peak = max(counts) or 1
    pw, ph = w - left - right, h - top - bottom
    med = s[len(s) // 2]
    p99 = s[min(len(s) - 1, int(0.99 * (len(s) - 1) + 0.5))]
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
           'font-family="sans-serif" font-size="12">' % (w, h, w, h),
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="%d" y="22" font-size="14">%s</text>' % (left, title)]
    for i, c in enumerate(counts):
        bh = ph * c / peak
        out.append('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="#4a7ab5"/>' %
                   (left + i * pw / bins + 1, top + ph - bh, pw / bins - 2, bh))
    out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>' % (left, top + ph, left + pw, top + ph))
    out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>' % (left, top, left, top + ph))
    for k in range(6):
        x = left + pw * k / 5
        out.append('<text x="%.1f" y="%d" text-anchor="middle">%.1f</text>' % (x, top + ph + 16, hi * k / 5))
        y = top + ph - ph * k / 5
        out.append('<text x="%d" y="%.1f" text-anchor="end">%d</text>' % (left - 6, y + 4, round(peak * k / 5)))
    out.append('<text x="%d" y="%d" text-anchor="middle">delay from raise to receipt (ms)</text>' %
               (left + pw / 2, h - 10))
    out.append('<text x="14" y="%d" transform="rotate(-90 14 %d)" text-anchor="middle">events</text>' %
               (top + ph / 2, top + ph / 2))
    for v, name, colour in ((med, "median", "#2a8a2a"), (p99, "p99", "#c03030")):
        x = left + pw * min(v, hi) / hi
        out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="%s" stroke-dasharray="4 3"/>' %
                   (x, top, x, top + ph, colour))
        out.append('<text x="%.1f" y="%d" fill="%s">%s %.1f ms</text>' % (x + 4, top + 12 +
                                                                         (16 if name == "p99" else 0),
                                                                         colour, name, v))
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")
    return med, p99


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bench-dir", required=True)
    ap.add_argument("--e2e")
    ap.add_argument("--latencies")
    ap.add_argument("--md", required=True)
    ap.add_argument("--svg", required=True)
    ap.add_argument("--build-type", default="?", help="CMAKE_BUILD_TYPE of the measured build")
    a = ap.parse_args()

    benches, context = load_benchmarks(a.bench_dir)
    rows, alone = bench_rows(benches)
    runs = load_e2e(a.e2e)
    samples = []
    if a.latencies and os.path.exists(a.latencies):
        with open(a.latencies) as f:
            samples = [float(x) for x in f.read().split()]
    latency_svg(samples, a.svg, "Raise-to-receipt delay, 500 access events/s with 30 KB photos (%d events)"
                % len(samples))

    ctx = context or {}
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    md = ["# Performance", "",
          "Written by `scripts/bench` on %s: %s, %s CPUs at %s MHz, load average %s at the start of the "
          "benchmarks; our code built as %s. The machine is shared, so figures vary from run to run; ratios "
          "against a reference measured in the same run are the steadier figure." %
          (when, platform.platform(), ctx.get("num_cpus", "?"), ctx.get("mhz_per_cpu", "?"),
           ", ".join("%.2f" % x for x in ctx.get("load_avg", [])) or "?",
           a.build_type),
          "",
          "## Building blocks against their references",
          "",
          "Google Benchmark programs in bench/, CPU time per operation. The ratio is our CPU time "
          "divided by the reference's (1.00 = as fast as the reference, above 1 = slower).",
          "",
          table(["What", "Ours", "Reference", "Ratio", "Target"], rows),
          "",
          "Other benchmarks (no reference):",
          "",
          table(["Benchmark", "CPU time", "Figure"], alone),
          "",
          "## The real service end to end",
          "",
          "`TessarinLumivar` (service mode, own data folder, WMI stand-in with 20 persons whose photos "
          "are incompressible bytes of the size given) connected to `nvrpeer` on 127.0.0.1, driven by `bench/lumivar_e2e.py`. Events are "
          "access events raised by the stand-in's generator (LUMIVAR_WMI_EVENT_RATE), enriched with "
          "person and photo by the service; the peer subscribes and counts what arrives in the "
          "measuring window. CPU is utime + stime of the service over the window. The delay runs from "
          "the stand-in's raise time stamp (TIME_CREATED) to the peer's receipt, same clock.",
          "",
          table(["What", "Measured", "Reference", "Ratio", "Target"], e2e_rows(runs)),
          "",
          "![Raise-to-receipt delay at 500 events/s](performance-latency.svg)",
          "",
          "## Notes",
          "",
          "- Ratios: CPU time per operation, or the reference's throughput divided by ours where both "
          "report one (the loopback benchmarks run on wall-clock time).",
          "- \"Serial numbers spanned\" is the range of the generator's serial numbers among the events "
          "received in the window, per second; it equals the received rate when nothing in between was "
          "lost. When the service falls behind, the events arriving are old ones, so it no longer shows "
          "the raised rate.",
          "- The stand-in's generator raises on a fixed schedule and makes up for late wake-ups (up to one "
          "second behind), so the raised rate is the rate asked unless the machine is saturated.",
          "- CPU per event is the service's CPU time divided by the events received.",
          "- The compressor writes a standard zlib stream with libdeflate at level %d; xml_bench "
          "BM_DeflateLevel compares the levels on a photo message." % COMPRESSOR_LEVEL,
          "- The service drains the event queue every %d ms, at most %d events a drain: an event waits "
          "up to %d ms for the next drain, then for the events ahead of it in that drain (about %.0f at "
          "500/s), and the frames of a drain are written when the loop next finds the socket writable. "
          "The design ceiling is %.0f events/s; at that rate a late drain leaves a backlog that later "
          "drains cannot work off." % (DRAIN_MS, DRAIN_PER_TICK, DRAIN_MS, 500 * DRAIN_MS / 1000.0,
                                       EVENT_CEILING),
          ""]
    with open(a.md, "w") as f:
        f.write("\n".join(md))


if __name__ == "__main__":
    main()
