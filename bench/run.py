#!/usr/bin/env python3
"""What a scan costs, measured in labs (as root; nothing leaves the lab namespaces).

    python3 bench/run.py TOLVERIN_BINARY [--runs N] [--fast-runs M] [--output FILE]

Prints a markdown table, with the machine it ran on and the command that made it, and
writes the same to bench/RESULTS.md (or FILE; "-" writes nothing). Build the binary as it
ships: cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release && cmake --build build-bench.

- not found, k = 1, 2, 4, 8 live adapters and no station: each probe costs its protocol
  timers, 0.75 s of registration and 0.75 s of unanswered query, so the floor is k x 1.5 s;
- a station on LANA 0 answering the query and the session request (negative, 0x83): from
  start to the result line, against 0.75 s of registration plus the station's answer times
  (a query and a session request, timed from the same client namespace);
- one probe on a LANA with no adapter: (scan with no adapter - usage run) / 255, medians of
  runs taken in turn; and the instructions of both under callgrind;
- peak resident set of whole scans;
- nmblookup (Samba) asking the same lab for the present and an absent name.
Timing loops run inside the client namespace (bench/inside.py), so lab set-up is not
counted. N runs of every slow row (default 5), M of the fast ones (default 200).
"""

import argparse
import datetime
import json
import os
import platform
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
INSIDE = os.path.join(HERE, "inside.py")
sys.path.insert(0, os.path.join(REPO, "lab"))
from lab import Lab, Station, broadcast_address, client_address  # noqa: E402

REGISTRATION_MS = 750.0  # three broadcasts 250 ms apart, no objection
QUERY_MS = 750.0  # three broadcasts 250 ms apart, no answer
PROBES = 255  # LANA 0 to 254
STATION = "ABC"  # 3 characters: ABC.COMMAND.SRV is 15, the same 16 bytes as Samba's NAME#00
SERVER_NAME = f"{STATION}.COMMAND.SRV"
ABSENT = "PLANT7"
ABSENT_SERVER_NAME = "XYZ.COMMAND.SRV"
NOT_FOUND_STATUS = 255  # exit(-1)
NOT_FOUND_LINE = " not found "
ADAPTER_COUNTS = (1, 2, 4, 8)
PROBE_TARGET_US = 20.0
RSS_TARGET_KIB = 4096
FLOOR_MARGIN = 0.01


class BenchError(Exception):
    pass


def in_lab(lab, arguments, as_root=False):
    """Runs inside.py in the lab's client namespace; its JSON samples."""
    result = lab.run([sys.executable, INSIDE, *arguments], as_root=as_root)
    if result.returncode != 0:
        raise BenchError(f"inside.py {arguments[0]} failed: {result.stderr.decode().strip()}")
    return [json.loads(line) for line in result.stdout.decode().splitlines()]


def runs(lab, jobs, rounds):
    """Per job, its samples; every sample's exit status checked."""
    samples = in_lab(lab, ["runs", json.dumps([job["spawn"] for job in jobs]), str(rounds)])
    per_job = [[] for _ in jobs]
    for sample in samples:
        job = jobs[sample["job"]]
        if sample["status"] != job["status"]:
            raise BenchError(f"{job['spawn']['argv']} exited with {sample['status']}, "
                             f"expected {job['status']}: {sample.get('output', '')!r}")
        if "marker_ms" in sample and sample["marker_ms"] is None:
            raise BenchError(f"{job['spawn']['argv']} never printed "
                             f"{job['spawn']['marker']!r}: {sample['output']!r}")
        per_job[sample["job"]].append(sample)
    return per_job


def job(argv, status, marker=None, rss=False):
    return {"spawn": {"argv": argv, "marker": marker, "rss": rss}, "status": status}


def median(samples, key):
    return statistics.median(sample[key] for sample in samples)


def spread(samples, key, digits):
    values = [sample[key] for sample in samples]
    return f"{min(values):.{digits}f}–{max(values):.{digits}f}"


def callgrind_instructions(lab, argv):
    """Instructions executed by argv, whole process, as callgrind counts them."""
    result = lab.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *argv])
    match = re.search(rb"Collected : (\d+)", result.stderr)
    if not match:
        raise BenchError(f"callgrind gave no count: {result.stderr.decode()[-500:]}")
    return int(match.group(1))


def verdict(met):
    return "met" if met else "**missed**"


# -- the measurements --------------------------------------------------------------------

def missing_adapters(binary, fast_runs):
    with Lab(adapters=0) as lab:
        usage, scan = runs(lab, [job([binary], NOT_FOUND_STATUS),
                                 job([binary, ABSENT], NOT_FOUND_STATUS)], fast_runs)
        usage_rss, scan_rss = runs(lab, [job([binary], NOT_FOUND_STATUS, rss=True),
                                         job([binary, ABSENT], NOT_FOUND_STATUS, rss=True)], 5)
        usage_ir = callgrind_instructions(lab, [binary])
        scan_ir = callgrind_instructions(lab, [binary, ABSENT])
    usage_ms = median(usage, "wall_ms")
    scan_ms = median(scan, "wall_ms")
    probe_us = (scan_ms - usage_ms) / PROBES * 1000
    rows = [
        ("usage run (no argument, no NetBIOS)", len(usage), f"{usage_ms:.3f} ms",
         spread(usage, "wall_ms", 3) + " ms", "", "", ""),
        ("scan with no adapter (255 × code 35)", len(scan), f"{scan_ms:.3f} ms",
         spread(scan, "wall_ms", 3) + " ms", "usage run", f"+{scan_ms - usage_ms:.3f} ms", ""),
        ("one probe on a LANA with no adapter", "", f"{probe_us:.2f} µs", "",
         "(scan − usage) / 255", "",
         f"≤ {PROBE_TARGET_US:.0f} µs: {verdict(probe_us <= PROBE_TARGET_US)}"),
        ("instructions, usage run (callgrind)", 1, f"{usage_ir:,}", "", "", "", ""),
        ("instructions, scan with no adapter (callgrind)", 1, f"{scan_ir:,}", "", "usage run",
         f"+{scan_ir - usage_ir:,} (≈ {(scan_ir - usage_ir) / PROBES:,.0f} a probe)", ""),
        ("peak RSS, usage run", len(usage_rss), f"{max(s['max_rss_kib'] for s in usage_rss)} KiB",
         "", "", "", ""),
    ]
    scan_peak = max(s["max_rss_kib"] for s in scan_rss)
    rows.append(("peak RSS, scan with no adapter", len(scan_rss), f"{scan_peak} KiB", "", "", "",
                 f"≤ 4 MiB: {verdict(scan_peak <= RSS_TARGET_KIB)}"))
    return rows


def live_adapters(binary, slow_runs):
    rows = []
    walls = {}
    for count in ADAPTER_COUNTS:
        floor = count * (REGISTRATION_MS + QUERY_MS)
        jobs = [job([binary, ABSENT], NOT_FOUND_STATUS, marker=NOT_FOUND_LINE)]
        if count == 2:
            jobs.append(job([binary, ABSENT], NOT_FOUND_STATUS, rss=True))
        with Lab(adapters=count) as lab:
            results = runs(lab, jobs, slow_runs)
        scan = results[0]
        wall = median(scan, "wall_ms")
        ratio = wall / floor
        rows.append((f"not found, {count} adapter{'s' if count > 1 else ''}, no station",
                     len(scan), f"{wall:.1f} ms", spread(scan, "wall_ms", 1) + " ms",
                     f"{floor:.0f} ms ({count} × 1.5 s)",
                     f"+{wall - floor:.1f} ms (× {ratio:.4f})",
                     f"≤ 1 %: {verdict(ratio <= 1 + FLOOR_MARGIN)}"))
        walls[count] = wall
        if count == 2:
            peak = max(s["max_rss_kib"] for s in results[1])
            rows.append(("peak RSS, not found over 2 adapters", len(results[1]), f"{peak} KiB",
                         "", "", "", f"≤ 4 MiB: {verdict(peak <= RSS_TARGET_KIB)}"))
    low, high = ADAPTER_COUNTS[0], ADAPTER_COUNTS[-1]
    per_adapter = (walls[high] - walls[low]) / (high - low)
    per_adapter_floor = REGISTRATION_MS + QUERY_MS
    rows.append((f"each live adapter (slope from {low} to {high} adapters)", "",
                 f"{per_adapter:.1f} ms", "", f"{per_adapter_floor:.0f} ms",
                 f"+{per_adapter - per_adapter_floor:.2f} ms", ""))
    return rows


def station_on_lana0(binary, slow_runs, fast_runs):
    nmblookup = shutil.which("nmblookup")
    station = Station(0, ["--name", SERVER_NAME])
    with Lab(adapters=1, stations=[station]) as lab:
        trips = in_lab(lab, ["round-trips", client_address(0), station.address,
                             broadcast_address(0), SERVER_NAME, str(fast_runs // 4)])
        jobs = [job([binary, STATION], 0, marker=f"Station '{STATION}' LANA=0")]
        if nmblookup:
            # -s /dev/null: Samba's defaults, not this host's configuration.
            lookup = [nmblookup, "-s", "/dev/null", "-B", broadcast_address(0)]
            jobs += [job(lookup + [f"{SERVER_NAME}#00"], 0,
                         marker=f"{station.address} {SERVER_NAME}<00>"),
                     job(lookup + [f"{ABSENT_SERVER_NAME}#00"], 1)]
        results = runs(lab, jobs, slow_runs)
    query = median(trips, "query_ms")
    session = median(trips, "session_ms")
    floor = REGISTRATION_MS + query + session
    found = median(results[0], "marker_ms")
    rows = [
        ("station answers a query (from the client namespace)", len(trips), f"{query:.3f} ms",
         spread(trips, "query_ms", 3) + " ms", "", "", ""),
        ("station answers a session request (connect + request)", len(trips),
         f"{session:.3f} ms", spread(trips, "session_ms", 3) + " ms", "", "", ""),
        ("station on LANA 0: result line", len(results[0]), f"{found:.1f} ms",
         spread(results[0], "marker_ms", 1) + " ms",
         f"{floor:.1f} ms (0.75 s + both answers)", f"+{found - floor:.1f} ms", ""),
        ("station on LANA 0: exit", len(results[0]), f"{median(results[0], 'wall_ms'):.1f} ms",
         spread(results[0], "wall_ms", 1) + " ms", "", "", ""),
    ]
    if nmblookup:
        rows += [
            (f"nmblookup, present name ({SERVER_NAME}#00)", len(results[1]),
             f"{median(results[1], 'wall_ms'):.1f} ms", spread(results[1], "wall_ms", 1) + " ms",
             "", "", ""),
            (f"nmblookup, absent name ({ABSENT_SERVER_NAME}#00)", len(results[2]),
             f"{median(results[2], 'wall_ms'):.1f} ms", spread(results[2], "wall_ms", 1) + " ms",
             "", "", ""),
        ]
    return rows


# -- the report ------------------------------------------------------------------------------

NOTES = """
How to read it:
- Wall times run from spawning the process to reaping it (result line: to reading that line
  from its standard output), timed in the lab's client namespace; lab set-up is not counted.
  Every measured run's exit status and output are checked.
- "Above reference" for whole scans includes starting the process and the 255 report lines
  (the usage and no-adapter rows show what those cost); the slope between 1 and 8 adapters
  is what each live adapter costs beyond its own timers.
- The station's answer times are a NAME QUERY REQUEST broadcast until its positive answer,
  and a TCP connect to port 139 with a SESSION REQUEST until its answer, both sent from the
  client namespace to the same station.
- Peak RSS is the process's maximum resident set (`/usr/bin/time -f %M`), the largest of the
  runs.
- nmblookup runs with `-s /dev/null` (Samba's defaults) and `-B` the segment's broadcast
  address, in the lab of the station row.
"""

def git(*arguments):
    return subprocess.run(["git", "-C", REPO, *arguments], capture_output=True, text=True,
                          check=False).stdout.strip()


def build_type(binary):
    folder = os.path.dirname(binary)
    while folder != os.path.dirname(folder):
        cache = os.path.join(folder, "CMakeCache.txt")
        if os.path.exists(cache):
            with open(cache, encoding="utf-8") as lines:
                for line in lines:
                    if line.startswith("CMAKE_BUILD_TYPE:"):
                        return line.split("=", 1)[1].strip() or "(none)"
            return "(none)"
        folder = os.path.dirname(folder)
    return "unknown (no CMakeCache.txt above the binary)"


def cpu_model():
    with open("/proc/cpuinfo", encoding="utf-8") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def load():
    return ", ".join(f"{value:.2f}" for value in os.getloadavg())


def report(command, binary, rows, load_before, load_after, seconds):
    changed = git("status", "--porcelain", "--", "cli", "netbios_probe", "netbios/src",
                  "netbios/include", "platform")
    lines = [
        "# What a scan costs",
        "",
        f"Made by `{command}` on {datetime.date.today().isoformat()}, "
        f"in {seconds:.0f} s.",
        "",
        f"- machine: {os.cpu_count()} cores, {cpu_model()}, Linux {platform.release()}",
        f"- load average (1, 5, 15 min): {load_before} before, {load_after} after",
        f"- build: {build_type(binary)}, commit {git('rev-parse', '--short', 'HEAD')}"
        + (" (command sources with local changes)" if changed else ""),
        "",
        "| measurement | runs | median | min–max | reference | above reference | target |",
        "|---|---|---|---|---|---|---|",
    ]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    lines += ["", NOTES.strip()]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("binary", help="the tolverin binary (a Release build)")
    parser.add_argument("--runs", type=int, default=5, help="runs of each slow row (5)")
    parser.add_argument("--fast-runs", type=int, default=200,
                        help="runs of each fast row (200)")
    parser.add_argument("--output", default=os.path.join(HERE, "RESULTS.md"),
                        help="results file (bench/RESULTS.md; - for none)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("run.py: must run as root (labs are network namespaces)")
    binary = os.path.abspath(args.binary)
    command = shlex.join(["python3", os.path.relpath(sys.argv[0], REPO)
                          if os.path.abspath(sys.argv[0]).startswith(REPO) else sys.argv[0],
                          *sys.argv[1:]])

    load_before = load()
    start = time.monotonic()
    try:
        rows = live_adapters(binary, args.runs)
        rows += station_on_lana0(binary, args.runs, args.fast_runs)
        rows += missing_adapters(binary, args.fast_runs)
    except BenchError as error:
        sys.exit(f"run.py: {error}")
    text = report(command, binary, rows, load_before, load(), time.monotonic() - start)
    print(text)
    if args.output != "-":
        with open(args.output, "w", encoding="utf-8") as results:
            results.write(text)


if __name__ == "__main__":
    main()
