#!/usr/bin/env python3
"""What a whole scan leaves behind: memory errors, leaks and open descriptors.

    resources.py CHECK TOLVERIN_BINARY     CHECK: memcheck or descriptors
    resources.py --list                    names the checks

Both run the built command in a lab of four adapters: stations that accept the session on
LANA 0 and LANA 2, nobody on LANA 1, a refusing station (0x80) on LANA 3; LANAs 4 to 254 have
no adapter, so all 255 are probed and the output is the usual one.
- memcheck: under valgrind's memcheck, no error, no leak, and no descriptor of the command's
  open at exit;
- descriptors: under strace, the descriptors open when the result line is written are the
  three standard ones and exactly the two sessions that the successful calls opened (kept by
  design until the command ends); nothing else is left from the 255 probes.
Exit 0 pass, 1 fail, 77 skipped (not root, or the tool is missing).
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import lab as lablib  # noqa: E402
from lab import Lab, Station  # noqa: E402

SKIP = 77
STATION = "PLANT7"
SERVER = "PLANT7.COMMAND.S"
MEMCHECK_ERROR_STATUS = 99

# LANA: (station.py session outcome, the return code the trace line shows)
SEGMENTS = {0: ("positive", 0), 1: (None, 20), 2: ("positive", 0), 3: ("negative:0x80", 20)}


def expected_stdout():
    lines = [f"LANA={lana} Ret.code={code}\n" for lana, (_, code) in SEGMENTS.items()]
    lines += [f"LANA={lana} Ret.code=35\n" for lana in range(len(SEGMENTS), 255)]
    return "".join(lines) + f"\n----------------------------\n\n Station '{STATION}' not found \n"


def stations():
    return [Station(lana, ["--name", SERVER, "--session", outcome])
            for lana, (outcome, _) in SEGMENTS.items() if outcome]


def session_peers():
    """Where the sessions kept open by the scan go: the accepting stations' port 139."""
    return sorted(f"{lablib.station_address(lana)}:139"
                  for lana, (outcome, _) in SEGMENTS.items() if outcome == "positive")


# -- memcheck --------------------------------------------------------------------------------

def memcheck_problems(report, report_path):
    """Problems in a memcheck report (an empty list when there are none)."""
    problems = []
    summary = re.search(r"ERROR SUMMARY: (\d+) errors", report)
    if not summary:
        problems.append("memcheck printed no error summary")
    elif summary.group(1) != "0":
        problems.append(f"memcheck found {summary.group(1)} error(s)")
    if "All heap blocks were freed" not in report:
        for kind in ("definitely lost", "indirectly lost", "possibly lost", "still reachable"):
            lost = re.search(rf"{kind}: ([\d,]+) bytes", report)
            if not lost or lost.group(1) != "0":
                problems.append(f"{kind}: {lost.group(1) if lost else '?'} bytes")
    # Listed as open at exit: anything but the standard three, which --track-fds=yes leaves
    # out, and memcheck's own report file, which it opens before the command starts.
    for match in re.finditer(r"^==\d+== Open (.*)$", report, re.MULTILINE):
        if not match.group(1).endswith(report_path):
            problems.append(f"open at exit: {match.group(1)}")
    if not re.search(r"FILE DESCRIPTORS: \d+ open", report):
        problems.append("memcheck printed no descriptor summary")
    return problems


def run_under(lab, tool, options, binary, report_path):
    """Runs the command under `tool` (which writes its report to report_path) in the lab;
    returns the command's result and the report."""
    program = shutil.which(tool)
    if not program:
        raise SkipCheck(f"{tool} is not installed")
    result = lab.run([program] + options + [binary, STATION], timeout=120)
    with open(report_path, encoding="utf-8", errors="replace") as file:
        return result, file.read()


def check_memcheck(lab, binary, workdir):
    report_path = os.path.join(workdir, "memcheck.txt")
    result, report = run_under(lab, "valgrind", [
        "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=all", "--track-fds=yes",
        f"--error-exitcode={MEMCHECK_ERROR_STATUS}", f"--log-file={report_path}"], binary,
                               report_path)
    return result, report, memcheck_problems(report, report_path)


# -- descriptors -----------------------------------------------------------------------------

# strace -yy lines: "PID name(args) = result", descriptors shown as N<what>.
SYSCALL = re.compile(r"^\d+\s+(\w+)\((.*)\)\s+= (-?\d+)(<[^>]*>)?")
# Calls that return a new descriptor, and calls that end one.
OPENING = {"socket", "open", "openat", "accept", "accept4", "dup", "dup2", "dup3", "fcntl",
           "eventfd2", "epoll_create1", "timerfd_create", "signalfd4", "memfd_create"}
TRACED = sorted(OPENING | {"close", "write", "pipe2", "socketpair"})
RESULT_LINE = "Station '"


def descriptor_problems(trace):
    """Replays the trace: the descriptors open when the result line is written must be the
    standard three and the kept sessions; returns the problems found."""
    open_now = {0: "stdin", 1: "stdout", 2: "stderr"}
    at_result = None
    for line in trace.splitlines():
        call = SYSCALL.match(line)
        if not call:
            continue
        name, args, result, what = call.groups()
        number = int(result)
        if name in OPENING and number >= 0 and (name != "fcntl" or "F_DUPFD" in args):
            open_now[number] = what or name
        elif name in ("pipe2", "socketpair") and number == 0:
            for fd, label in re.findall(r"(\d+)(<[^>]*>)?", args.split("]")[0].split("[")[-1]):
                open_now[int(fd)] = label or name
        elif name == "close" and number == 0:
            fd, label = re.match(r"(\d+)(<.*>)?", args).groups()
            open_now.pop(int(fd), None)
            if at_result is not None:
                if int(fd) not in at_result:
                    return [f"closed a descriptor unknown at the result line: {line}"]
                # Its last label names both ends, which the one at its opening did not.
                at_result[int(fd)] = label or at_result[int(fd)]
        elif name == "write" and args.startswith("1") and RESULT_LINE in args:
            at_result = dict(open_now)
    if at_result is None:
        return ["no result line in the trace"]
    problems = []
    sessions = sorted(what for fd, what in at_result.items() if fd > 2 and "TCP:[" in what)
    peers = sorted(re.sub(r".*->(.*)\]>$", r"\1", what) for what in sessions)
    if peers != session_peers():
        problems.append(f"sessions open at the result line go to {peers}, "
                        f"want {session_peers()}")
    others = [f"{fd} {what}" for fd, what in sorted(at_result.items())
              if fd > 2 and "TCP:[" not in what]
    if others:
        problems.append("open at the result line besides the sessions: " + ", ".join(others))
    return problems


def check_descriptors(lab, binary, workdir):
    # LeakSanitizer cannot work under ptrace; leaks are the memcheck check's and the other
    # tests' business, this one counts descriptors.
    os.environ["ASAN_OPTIONS"] = ":".join(
        filter(None, [os.environ.get("ASAN_OPTIONS", ""), "detect_leaks=0"]))
    trace_path = os.path.join(workdir, "trace.txt")
    result, trace = run_under(lab, "strace", ["-f", "-yy", "-s", "256", "-o", trace_path, "-e",
                                              "trace=" + ",".join(TRACED)], binary, trace_path)
    return result, trace, descriptor_problems(trace)


# -- running a check -------------------------------------------------------------------------

CHECKS = {"memcheck": check_memcheck, "descriptors": check_descriptors}


class SkipCheck(Exception):
    pass


def main(argv):
    if argv[1:] == ["--list"]:
        print("\n".join(CHECKS))
        return 0
    if len(argv) != 3 or argv[1] not in CHECKS:
        sys.exit(__doc__)
    if os.geteuid() != 0:
        print("skipped: the lab needs root")
        return SKIP
    binary = os.path.abspath(argv[2])
    workdir = tempfile.mkdtemp(prefix="tolverin-resources-")
    try:
        os.chmod(workdir, 0o777)  # the command runs as nobody and writes its report here
        with Lab(adapters=len(SEGMENTS), stations=stations()) as lab:
            result, report, problems = CHECKS[argv[1]](lab, binary, workdir)
        stdout = result.stdout.decode("latin-1")
        if stdout != expected_stdout():
            problems.append(f"standard output differs:\n{stdout}")
        if result.returncode != 255:
            problems.append(f"exit status {result.returncode}, want 255")
        if problems:
            print(report)
            print("FAIL:\n  " + "\n  ".join(problems))
            return 1
        print("pass")
        return 0
    except SkipCheck as reason:
        print(f"skipped: {reason}")
        return SKIP
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
