#!/usr/bin/env python3
"""Summarises a scripts/soak run folder: events raised, received and dropped,
and the service's resident memory.

usage: soak_report.py SOAK_DIR PEER_STOP_EPOCH RATE DROP_EVERY [OUTAGE PHOTO_BYTES]
"""
import os
import sys

from statslog import stats_blocks

soak_dir, peer_stop, rate, drop_every = sys.argv[1], float(sys.argv[2]), sys.argv[3], sys.argv[4]
outage = sys.argv[5] if len(sys.argv) > 5 else "0"
photo_bytes = sys.argv[6] if len(sys.argv) > 6 else "0"
logs = os.path.join(soak_dir, "data", "Tessarin", "Lumivar", "Logs")

# --- statistics blocks of the service log (the rotated file first) ---------
lines = []
for name in ("wrapper.log.old", "wrapper.log"):
    path = os.path.join(logs, name)
    if os.path.exists(path):
        with open(path, errors="replace") as f:
            lines.extend(f)
blocks = stats_blocks(lines)

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
print(f"counted drops: {counted}; raised - received - counted = {missing - counted}")
print(f"raised {window} = received {len(unique)} + events_dropped {drops['events_dropped']} + "
      f"frames_dropped {drops['frames_dropped']} + messages_discarded "
      f"{drops['messages_discarded']} + unaccounted {missing - counted}")
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
