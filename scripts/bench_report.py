"""Writes BENCHMARKS.md from the measurements scripts/bench.sh left in a folder.

    python3 scripts/bench_report.py FOLDER OUTPUT "PROFILES OF THE 20 MS RUNS"
"""
import datetime
import glob
import os
import re
import statistics
import subprocess
import sys

folder, output, slow = sys.argv[1], sys.argv[2], sys.argv[3].split()
here = os.path.dirname(os.path.abspath(__file__))
prose = open(os.path.join(here, "bench_prose.md"), encoding="utf-8").read()


def machine():
    cpu = "unknown processor"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True).stdout.strip()
    return f"{cpu}, {os.cpu_count()} cores; commit {commit or '?'}; {datetime.date.today().isoformat()}"


# ---- table 1
rows = []
for line in open(os.path.join(folder, "table1")):
    cells = [c.strip() for c in line.strip().strip("|").split("|")]
    if len(cells) != 9 or not cells[2].isdigit():
        continue
    op, card = cells[0], cells[1]
    rows.append((op, card, *map(int, cells[2:])))
operations = list(dict.fromkeys(r[0] for r in rows))
cards = list(dict.fromkeys(r[1] for r in rows))
of = {(r[0], r[1]): r for r in rows}


def span(values):
    lo, hi = min(values), max(values)
    return str(lo) if lo == hi else f"{lo}-{hi}"


t1 = ["| operation | " + " | ".join(cards) + " |", "|---|" + "---:|" * len(cards)]
for op in operations:
    t1.append(f"| {op} | " + " | ".join(f"{of[op, c][2]} / {of[op, c][4]}" for c in cards) + " |")
t1b = ["| operation | " + " | ".join(cards) + " |", "|---|" + "---:|" * len(cards)]
for op in operations:
    t1b.append(f"| {op} | " + " | ".join(str(of[op, c][3]) for c in cards) + " |")
t1c = ["| operation | path steps | FCI answers | root again | redundant |", "|---|---:|---:|---:|---:|"]
for op in operations:
    t1c.append(f"| {op} | " + " | ".join(span([of[op, c][i] for c in cards]) for i in (5, 6, 7, 8)) + " |")
redundant_total = sum(r[8] for r in rows)

# ---- table 2
times = {}
for line in open(os.path.join(folder, "host-time")):
    parts = line.rstrip("\n").split("\t")
    if len(parts) == 3 and parts[0] in ("ours", "softhsm2"):
        try:
            times[parts[0], parts[1]] = float(parts[2])
        except ValueError:
            pass
instructions = {}
for f in glob.glob(os.path.join(folder, "cg.*")):
    desc, total = None, None
    for line in open(f, errors="replace"):
        m = re.match(r"desc: Trigger: Client Request: (\S+) (.+) (\d+)$", line.strip())
        if m:
            desc = (m.group(1), m.group(2), int(m.group(3)))
        m = re.match(r"totals: (\d+)", line)
        if m:
            total = int(m.group(1))
    if desc and total is not None:
        instructions[desc[0], desc[1]] = total / desc[2]
calls = ["find cycle", "C_GetAttributeValue", "C_GetSessionInfo", "C_GetTokenInfo"]
t2 = ["| call | ours (ns) | SoftHSM2 (ns) | ratio by time | ours (instructions) | SoftHSM2 (instructions) "
      "| ratio by instructions |", "|---|---:|---:|---:|---:|---:|---:|"]
for c in calls:
    o, s = times.get(("ours", c)), times.get(("softhsm2", c))
    oi, si = instructions.get(("ours", c)), instructions.get(("softhsm2", c))
    t2.append(f"| {c} | {o:.0f} | {s:.0f} | {o / s:.2f} | {oi:.0f} | {si:.0f} | {oi / si:.2f} |")

# ---- table 3
# The run ends with the wizard's own one-second pause before the completion
# page: time the user sees the last marks, not the host's work.
PAUSE = 1.0
t3 = ["| card | delay per exchange | exchanges | wall time (s) | wizard CPU (s) | wall - exchanges x delay "
      "| host share: (wall - exchanges x delay - 1 s pause) / wall | host share: CPU / wall |",
      "|---|---:|---:|---:|---:|---:|---:|---:|"]
shares20 = []
rests = {}
for p in slow:
    for delay in (0, 20):
        trace = open(os.path.join(folder, f"wizard-{p}-{delay}.trace"), errors="replace").read()
        exchanges = sum(1 for l in trace.splitlines() if len(l.split(" ")) > 2 and l.split(" ")[2] == ">")
        wall, user, system = map(float, open(os.path.join(folder, f"wizard-{p}-{delay}.time")).read().split())
        cpu = user + system
        rest = wall - exchanges * delay / 1000
        rests[p, delay] = (rest, exchanges)
        by_delay = (rest - PAUSE) / wall
        if delay == 20:
            shares20.append((by_delay, cpu / wall))
        t3.append(f"| {p} | {delay} ms | {exchanges} | {wall:.3f} | {cpu:.3f} | {rest:.3f} s | {100 * by_delay:.1f}% "
                  f"| {100 * cpu / wall:.1f}% |")

# ---- table 4
t4 = ["| card | objects | before the module (kB) | module loaded | after C_Initialize | token open, all loaded "
      "| delta over the whole (kB) | delta of the token (kB) | of which anonymous (heap, stacks) (kB) |",
      "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
for line in open(os.path.join(folder, "memory")):
    p, start, loaded, init, full, n, anon_init, anon_full = line.split()
    start, loaded, init, full, anon_init, anon_full = map(int, (start, loaded, init, full, anon_init, anon_full))
    t4.append(f"| {p} | {n} | {start} | {loaded} | {init} | {full} | {full - start} | {full - init} "
              f"| {anon_full - anon_init} |")

values = {
    "MACHINE": machine(),
    "TABLE1": "\n".join(t1),
    "TABLE1_BYTES": "\n".join(t1b),
    "TABLE1_DIFFERENCE": "\n".join(t1c),
    "REDUNDANT_TOTAL": str(redundant_total),
    "TABLE2": "\n".join(t2),
    "TABLE3": "\n".join(t3),
    "WORST_SHARE_20": (f"{100 * max(a for a, _ in shares20):.1f}% by the wall time, "
                       f"{100 * max(c for _, c in shares20):.1f}% by the CPU time") if shares20 else "?",
    "TABLE4": "\n".join(t4),
    "OVERSHOOT": ", ".join(f"{p} {1000 * (rests[p, 20][0] - rests[p, 0][0]) / rests[p, 20][1]:.2f} ms"
                           for p in slow if (p, 0) in rests and (p, 20) in rests),
    "SLOW_CARDS": ", ".join(slow),
}
text = prose
for k, v in values.items():
    text = text.replace("{{" + k + "}}", v)
open(output, "w", encoding="utf-8").write(text)
