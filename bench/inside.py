#!/usr/bin/env python3
"""The measuring end of bench/run.py: runs inside a lab's client namespace (run.py starts it
there; it never runs in the host's namespace) and prints one JSON object per sample.

    inside.py runs JOBS_JSON ROUNDS
        JOBS_JSON is a list of jobs {"argv": [...], "marker": TEXT or null, "rss": bool};
        the jobs run in turn, ROUNDS times over, so that a change in machine load falls on
        all of them alike. Per run: wall time from spawn to exit; with a marker, standard
        output is read as it arrives and the time at which TEXT first shows is noted; with
        rss, the run goes through /usr/bin/time for its peak resident set (a process
        spawned straight from Python would report Python's own, see below).
    inside.py round-trips CLIENT STATION BROADCAST NAME RUNS
        the station's answer times as the command sees them: a NAME QUERY REQUEST broadcast
        on the segment until its positive answer, and a TCP connect to port 139 with a
        SESSION REQUEST until the session response.

Peak resident set: the kernel keeps, per process, the largest resident set of any image it
held, including the one it replaced by exec. Python's posix_spawn shares Python's memory
until the exec, so the child would report Python's size. /usr/bin/time forks a small
process of its own first, whose few hundred KiB are below any C++ program's own peak.
"""

import json
import os
import socket
import struct
import sys
import tempfile
import time

NAME_SERVICE_PORT = 137
SESSION_SERVICE_PORT = 139
ANSWER_WAIT_SECONDS = 2.0


def run_once(job, scratch):
    argv = job["argv"]
    rss_path = None
    if job.get("rss"):
        rss_path = os.path.join(scratch, "rss")
        argv = ["/usr/bin/time", "-f", "%M", "-o", rss_path, "--"] + argv
    actions = [(os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, "/dev/null", os.O_WRONLY, 0)]
    read_end = None
    if job.get("marker") is None:
        actions.append((os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0))
    else:
        read_end, write_end = os.pipe()
        actions += [(os.POSIX_SPAWN_DUP2, write_end, 1), (os.POSIX_SPAWN_CLOSE, read_end)]

    start = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    marker_ns = None
    output = b""
    if read_end is not None:
        os.close(write_end)
        marker = job["marker"].encode()
        while True:
            chunk = os.read(read_end, 65536)
            if not chunk:
                break
            output += chunk
            if marker_ns is None and marker in output:
                marker_ns = time.perf_counter_ns()
        os.close(read_end)
    _, status, _ = os.wait4(pid, 0)
    end = time.perf_counter_ns()

    sample = {"wall_ms": (end - start) / 1e6, "status": os.waitstatus_to_exitcode(status)}
    if read_end is not None:
        sample["marker_ms"] = None if marker_ns is None else (marker_ns - start) / 1e6
        sample["output"] = output.decode(errors="replace")
    if rss_path is not None:
        with open(rss_path, encoding="ascii") as rss:
            # GNU time prints "Command exited with non-zero status N" before the format.
            sample["max_rss_kib"] = int(rss.read().split()[-1])
    return sample


def runs(jobs_json, rounds):
    jobs = json.loads(jobs_json)
    with tempfile.TemporaryDirectory(prefix="tolverin-bench-") as scratch:
        for _ in range(int(rounds)):
            for number, job in enumerate(jobs):
                sample = run_once(job, scratch)
                sample["job"] = number
                print(json.dumps(sample), flush=True)


def encoded_name(raw):
    """A 16-byte name, first-level encoded, as one label followed by the root."""
    raw = raw.encode()[:16].ljust(16, b"\0")
    letters = bytearray()
    for byte in raw:
        letters += bytes((ord("A") + (byte >> 4), ord("A") + (byte & 0xF)))
    return b"\x20" + bytes(letters) + b"\x00"


def query_round_trip(client, broadcast, name, transaction):
    request = struct.pack(">HHHHHH", transaction, 0x0110, 1, 0, 0, 0)
    request += encoded_name(name) + struct.pack(">HH", 0x0020, 0x0001)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        udp.bind((client, 0))
        udp.settimeout(ANSWER_WAIT_SECONDS)
        start = time.perf_counter_ns()
        udp.sendto(request, (broadcast, NAME_SERVICE_PORT))
        while True:
            answer = udp.recv(1024)
            if len(answer) >= 4 and struct.unpack(">H", answer[:2])[0] == transaction \
                    and answer[2] & 0x80:
                return (time.perf_counter_ns() - start) / 1e6


def session_round_trip(client, station, name):
    called = encoded_name(name)
    calling = encoded_name("BENCH")
    request = struct.pack(">BBH", 0x81, 0, len(called) + len(calling)) + called + calling
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as tcp:
        tcp.bind((client, 0))
        tcp.settimeout(ANSWER_WAIT_SECONDS)
        start = time.perf_counter_ns()
        tcp.connect((station, SESSION_SERVICE_PORT))
        tcp.sendall(request)
        answer = b""
        while len(answer) < 4:
            chunk = tcp.recv(64)
            if not chunk:
                raise RuntimeError("station closed the session without answering")
            answer += chunk
        return (time.perf_counter_ns() - start) / 1e6


def round_trips(client, station, broadcast, name, count):
    for number in range(int(count)):
        print(json.dumps({"query_ms": query_round_trip(client, broadcast, name, 0x4000 + number),
                          "session_ms": session_round_trip(client, station, name)}),
              flush=True)


def main():
    commands = {"runs": (runs, 2), "round-trips": (round_trips, 5)}
    if len(sys.argv) < 2 or sys.argv[1] not in commands or \
            len(sys.argv) - 2 != commands[sys.argv[1]][1]:
        sys.exit(__doc__)
    function, _ = commands[sys.argv[1]]
    function(*sys.argv[2:])


if __name__ == "__main__":
    main()
