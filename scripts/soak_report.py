#!/usr/bin/env python3
"""Summarises a scripts/soak run folder: events raised, received and dropped,
and the service's resident memory.

usage: soak_report.py SOAK_DIR PEER_STOP_EPOCH RATE DROP_EVERY [OUTAGE PHOTO_BYTES]
"""
import bisect
import os
import re
import sys

from statslog import stats_blocks

soak_dir, peer_stop, rate, drop_every = sys.argv[1], float(sys.argv[2]), sys.argv[3], sys.argv[4]
outage = sys.argv[5] if len(sys.argv) > 5 else "0"
photo_bytes = sys.argv[6] if len(sys.argv) > 6 else "0"
logs = os.path.join(soak_dir, "data", "Tessarin", "Lumivar", "Logs")

# --- statistics blocks of the service log -----------------------------------
# The old files the soak copied aside as they rotated, oldest first, then the
# current file; without copies (an older run folder), the one old file left.
archive = os.path.join(soak_dir, "log-archive")
paths = sorted(os.path.join(archive, n) for n in os.listdir(archive)) if os.path.isdir(archive) \
    else [os.path.join(logs, "wrapper.log.old")]
lines = []
for path in paths + [os.path.join(logs, "wrapper.log")]:
    if os.path.exists(path):
        with open(path, errors="replace") as f:
            lines.extend(f)
blocks = stats_blocks(lines)

# The serials the service names as lost, with their causes, and for each
# lost link the last event written to it (those after the NVR's last read
# went down with the link, in transit).
DROP = re.compile(r"\} \S+ - dropped \d+ events with serials ([0-9, -]+) \((.*)\)$")
UNNUMBERED = re.compile(r"\} \S+ - dropped (\d+) events without a serial \((.*)\)$")
WRITTEN = re.compile(r"\} Client::linkLost - events up to serial (\d+) were written to the lost link$")
dropped_ranges = []  # (first, last, cause)
unnumbered = {}
written_up_to = []
for line in lines:
    line = line.rstrip("\n")
    m = DROP.search(line)
    if m:
        for part in m.group(1).split(","):
            a, b = part.strip().split("-")
            dropped_ranges.append((int(a), int(b), m.group(2)))
        continue
    m = UNNUMBERED.search(line)
    if m:
        unnumbered[m.group(2)] = unnumbered.get(m.group(2), 0) + int(m.group(1))
        continue
    m = WRITTEN.search(line)
    if m:
        written_up_to.append(int(m.group(1)))
dropped_ranges.sort()
written_up_to.sort()

# The last complete block logged at least a second before the peer stopped:
# the link was up then, so nothing was discarded between it and the stop.
complete = [b for b in blocks if "messages_discarded" in b and b["time"] < int(peer_stop)]
if not complete:
    sys.exit("soak: no statistics block before the end in the service log")
stats = complete[-1]

# --- what the peer received --------------------------------------------------
serials = []
with open(os.path.join(soak_dir, "serials.txt")) as f:
    for line in f:
        parts = line.split()  # seconds, serial (, delay in us)
        if len(parts) >= 2 and parts[1].isdigit():
            serials.append(int(parts[1]))
received = len(serials)
unique = sorted(set(serials))
first, last = unique[0], unique[-1]
window = last - first + 1
missing = window - len(unique)
gaps = [(a, b) for a, b in zip(unique, unique[1:]) if b - a > 1]
big = [b - a - 1 for a, b in gaps if b - a - 1 > 100]
small = [b - a - 1 for a, b in gaps if b - a - 1 <= 100]

# The cause the log gives for each serial in the window the peer saw.
named = {}
for a, b, cause in dropped_ranges:
    for serial in range(max(a, first), min(b, last) + 1):
        named.setdefault(serial, cause)

# Every missing serial in the window, by cause.
by_cause = {}
unaccounted_gaps = []
for a, b in gaps:
    # The last event written to a link lost within the gap: those up to it
    # that no site names went down with the link.
    j = bisect.bisect_left(written_up_to, b) - 1
    transit_end = written_up_to[j] if j >= 0 and written_up_to[j] > a else a
    lost = 0
    for serial in range(a + 1, b):
        cause = named.get(serial)
        if cause is None and serial <= transit_end:
            cause = "in transit on a lost link"
        if cause is None:
            lost += 1
            continue
        by_cause[cause] = by_cause.get(cause, 0) + 1
    if lost:
        unaccounted_gaps.append((a, b, lost))
unaccounted = sum(n for _, _, n in unaccounted_gaps)
received_set = set(unique)
named_yet_received = sum(1 for serial in named if serial in received_set)

drops = {k: stats.get(k, 0) for k in ("events_dropped", "frames_dropped", "messages_discarded")}
counted = sum(drops.values())

with open(os.path.join(soak_dir, "peer.err")) as f:
    peer_err = f.read()
connections = peer_err.count("service connected")

# --- resident memory -----------------------------------------------------------
rss = []
link = []  # (seconds, link up) where the sampler recorded it
with open(os.path.join(soak_dir, "rss.tsv")) as f:
    for line in f:
        parts = line.split()
        if len(parts) >= 3:
            rss.append((int(parts[0]), int(parts[1]), int(parts[2])))
        if len(parts) == 4:
            link.append((int(parts[0]), parts[3] == "1"))

# Per link-down period (after the first connection): the peak resident set
# while down and until the next drop, and the resident set just before it.
periods = []
seen_up = False
for (t, r, _), (_, up) in zip(rss, link):
    if up:
        seen_up = True
        if periods and periods[-1]["up_since"] is None:
            periods[-1]["up_since"] = t
        if periods:
            periods[-1]["peak"] = max(periods[-1]["peak"], r)
            periods[-1]["before_next_drop"] = r
    elif seen_up:
        if not periods or periods[-1]["up_since"] is not None:
            periods.append({"down_at": t, "up_since": None, "peak": r, "before_next_drop": r})
        periods[-1]["peak"] = max(periods[-1]["peak"], r)
final = {}
with open(os.path.join(soak_dir, "final-status.txt")) as f:
    for line in f:
        key, value = line.split(":", 1)
        final[key] = int(value.split()[0])
duration = rss[-1][0]
warmup = min(120, duration // 5)
after = [(t, r) for t, r, _ in rss if t >= warmup]


def mean(values):
    return sum(values) / len(values) if values else 0.0


first_minute = mean([r for t, r in after if t < warmup + 60])
last_minute = mean([r for t, r in after if t >= duration - 60])
n = len(after)
mt = mean([t for t, _ in after])
mr = mean([r for _, r in after])
var = sum((t - mt) ** 2 for t, _ in after)
slope = sum((t - mt) * (r - mr) for t, r in after) / var * 60 if var else 0.0

print(f"soak: {duration} s at {rate} events/s requested, link dropped every {drop_every} s, "
      f"outage {outage} s, photos {photo_bytes} bytes, {connections} connections")
print(f"events raised (generator serials {first}..{last}, the window the peer saw): {window}")
print(f"highest serial raised (counting from the service's start): {last}")
print(f"events received by the peer: {received} ({len(unique)} distinct, "
      f"{received - len(unique)} repeated)")
print(f"events missing in the window: {missing}")
for k, v in drops.items():
    print(f"  {k}: {v}")
print(f"  queued at that moment: event_queue {stats.get('event_queue', 0)}, "
      f"msg_queue {stats.get('msg_queue', 0)}")
print(f"counters: {counted} counted drops (frames_dropped includes keep-alives and replies); "
      f"raised - received - counted = {missing - counted}")
causes = "".join(f" + {cause} {n}" for cause, n in sorted(by_cause.items()))
print(f"raised {window} = received {len(unique)}{causes} + unaccounted {unaccounted}")
print(f"serials the log names as dropped yet the peer received: {named_yet_received}")
for cause, n in sorted(unnumbered.items()):
    print(f"  events without a serial dropped ({cause}): {n}")
for a, b, lost in unaccounted_gaps[:10]:
    print(f"  unaccounted: {lost} of the serials {a + 1}-{b - 1}")
print(f"gaps in the serials: {len(big)} large (> 100, total {sum(big)}), "
      f"{len(small)} small (total {sum(small)}, largest {max(small) if small else 0})")
print(f"RSS peak (sampled) {max(r for _, r, _ in rss)} kB, VmHWM {final.get('VmHWM', 0)} kB, "
      f"final {final.get('VmRSS', 0)} kB")
print(f"RSS after warm-up ({warmup} s): first minute {first_minute:.0f} kB, last minute "
      f"{last_minute:.0f} kB, growth {last_minute - first_minute:+.0f} kB, "
      f"trend {slope:+.1f} kB/min over {n} samples")
for i, p in enumerate(periods, 1):
    down = (p["up_since"] - p["down_at"]) if p["up_since"] is not None else duration - p["down_at"]
    print(f"outage {i} at {p['down_at']} s, down {down} s: RSS peak {p['peak']} kB, "
          f"before the next drop {p['before_next_drop']} kB")
