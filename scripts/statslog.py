"""Reads the statistics reports the service writes to its log.

Shared by scripts/soak_report.py and bench/lumivar_e2e.py, so both read the
report the same way.
"""
import re
import time

STAT = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d) \[\w+\] \{\d+\} Client::printStats - (.*)$")


def stats_blocks(lines):
    """Each report in 'lines' (log lines, oldest first) as a dict: 'time' (epoch
    seconds of its first line), every counter by name, 'sink NAME' for the events
    each subscription received and 'kB' for the memory line."""
    blocks = []
    for line in lines:
        m = STAT.match(line.rstrip("\n"))
        if not m:
            continue
        stamp, text = m.groups()
        if text.startswith("tag_"):
            blocks.append({"time": time.mktime(time.strptime(stamp, "%Y-%m-%d %H:%M:%S"))})
            continue
        if not blocks:
            continue
        parts = text.split()
        if len(parts) == 2 and parts[1].isdigit():
            blocks[-1][parts[0]] = int(parts[1])
        elif len(parts) == 4 and parts[1] == "received":
            blocks[-1]["sink " + parts[0]] = int(parts[2])
        elif len(parts) == 4 and parts[1] == "uses":
            blocks[-1]["kB"] = int(parts[2])
    return blocks
