#!/usr/bin/env python3
"""The lab: throwaway network namespaces in which the command meets NetBIOS peers.

A lab has a client namespace holding N adapters (veth interfaces lana0..lanaN-1, made in
that order so that interface index order is LANA order) and, for each adapter k, a segment
namespace on the far side of the wire where stations run. Segment k is a /28:

    k < 16:  198.51.100.16k/28       k >= 16:  203.0.113.16(k-16)/28
    client .16k+1, stations .16k+2 upwards, broadcast .16k+15

Nothing here touches the host's own network namespace; every namespace is removed on every
way out (normal end, exception, SIGINT, SIGTERM, SIGHUP, failing command).

Command line:
    lab.py [--adapters N] [--station SPEC]... [--logs DIR] [--as-root] -- COMMAND ARGS...
SPEC is "LANA:OPTIONS", OPTIONS being station.py options (shell words) other than its
address, broadcast, log and readiness options, which the lab fills in. Example:
    lab.py --adapters 3 --station '1:--name PLANT7.COMMAND.S --session negative:0x83' \\
        -- build/cli/tolverin plant7
COMMAND runs in the client namespace as uid/gid 65534 (unless --as-root), its standard
output and error passed through; lab.py exits with its exit status.

From Python:
    with Lab(adapters=3, stations=[Station(1, ["--name", "PLANT7.COMMAND.S"])]) as lab:
        result = lab.run(["build/cli/tolverin", "PLANT7"])
        records = lab.station_log(0)
"""

import argparse
import ctypes
import ipaddress
import json
import os
import re
import secrets
import select
import shlex
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
STATION_SCRIPT = os.path.join(HERE, "station.py")
NOBODY = 65534
MAX_ADAPTERS = 32
STATION_READY_SECONDS = 10.0
LAB_NAME = re.compile(r"^tlv(\d+)r[0-9a-f]{6}-")


class LabError(Exception):
    pass


def segment_network(k):
    """The /28 of segment k."""
    if not 0 <= k < MAX_ADAPTERS:
        raise LabError(f"segment {k} out of range 0..{MAX_ADAPTERS - 1}")
    if k < 16:
        return ipaddress.IPv4Network(f"198.51.100.{16 * k}/28")
    return ipaddress.IPv4Network(f"203.0.113.{16 * (k - 16)}/28")


def client_address(k):
    return str(segment_network(k).network_address + 1)


def station_address(k, index=0):
    """Address of the index-th station on segment k (.16k+2 upwards, up to .16k+14)."""
    if not 0 <= index < 13:
        raise LabError(f"station index {index} out of range 0..12")
    return str(segment_network(k).network_address + 2 + index)


def broadcast_address(k):
    return str(segment_network(k).broadcast_address)


def _ip(*args, check=True):
    return subprocess.run(["ip", *args], check=check, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _process_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def reap_stale_labs():
    """Removes namespaces left by a lab whose process is gone (killed with SIGKILL, say),
    ending what still runs in them: processes of that lab, started by it."""
    listing = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True,
                             check=False).stdout
    for line in listing.splitlines():
        name = line.split()[0] if line.split() else ""
        match = LAB_NAME.match(name)
        if match and not _process_alive(int(match.group(1))):
            pids = subprocess.run(["ip", "netns", "pids", name], capture_output=True,
                                  text=True, check=False).stdout.split()
            for pid in pids:
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
            _ip("netns", "del", name, check=False)
    for entry in os.listdir("/tmp"):
        match = LAB_NAME.match(entry.replace("-logs", "-", 1))
        if match and entry.endswith("-logs") and not _process_alive(int(match.group(1))):
            shutil.rmtree(os.path.join("/tmp", entry), ignore_errors=True)


_libc = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


def _die_with_lab():
    """In a child before exec: killed if the lab's process dies, even by SIGKILL."""
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


class Station:
    """A test station (station.py) on the segment of adapter `lana`.

    `options` are station.py options such as ["--name", "ABC.COMMAND.SRV", "--session",
    "positive"]; the lab adds --address, --broadcast, --log and --ready-fd.
    """

    def __init__(self, lana, options=()):
        self.lana = lana
        self.options = list(options)
        self.address = None
        self.log_path = None
        self.process = None

    @classmethod
    def parse(cls, spec):
        lana, sep, rest = spec.partition(":")
        if not sep or not lana.isdigit():
            raise LabError(f"station spec {spec!r}: expected LANA:OPTIONS")
        return cls(int(lana), shlex.split(rest))


class Lab:
    """A lab of `adapters` adapters with `stations` on their segments (a context manager)."""

    def __init__(self, adapters=1, stations=(), logs=None):
        if not 0 <= adapters <= MAX_ADAPTERS:
            raise LabError(f"--adapters must be 0..{MAX_ADAPTERS}")
        self.adapters = adapters
        self.stations = list(stations)
        for station in self.stations:
            if not 0 <= station.lana < adapters:
                raise LabError(f"station on LANA {station.lana}, but the lab has "
                               f"{adapters} adapters")
        self.prefix = f"tlv{os.getpid()}r{secrets.token_hex(3)}"
        self.client_ns = f"{self.prefix}-c"
        self.segment_ns = [f"{self.prefix}-s{k}" for k in range(adapters)]
        self._own_logs = logs is None
        self.logs = logs or f"/tmp/{self.prefix}-logs"
        self._namespaces = []
        self._processes = []  # (Popen, own process group) started in lab namespaces

    # -- building and tearing down -------------------------------------------------------

    def __enter__(self):
        try:
            self.build()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def build(self):
        reap_stale_labs()
        os.makedirs(self.logs, exist_ok=True)
        self._add_namespace(self.client_ns)
        for k, segment in enumerate(self.segment_ns):
            self._add_namespace(segment)
            # Created from inside the client namespace, peer moved straight into the
            # segment: no interface ever exists in the host's namespace.
            _ip("-n", self.client_ns, "link", "add", f"lana{k}", "type", "veth",
                "peer", "name", f"seg{k}", "netns", segment)
            net = segment_network(k)
            _ip("-n", self.client_ns, "addr", "add", f"{client_address(k)}/{net.prefixlen}",
                "brd", broadcast_address(k), "dev", f"lana{k}")
            _ip("-n", self.client_ns, "link", "set", f"lana{k}", "up")
            _ip("-n", segment, "link", "set", f"seg{k}", "up")
        per_segment = {}
        for station in self.stations:
            index = per_segment.get(station.lana, 0)
            per_segment[station.lana] = index + 1
            station.address = station_address(station.lana, index)
            self.add_address(station.lana, station.address)
        self._wait_addresses_usable()
        for number, station in enumerate(self.stations):
            self._start_station(number, station)

    def _add_namespace(self, name):
        _ip("netns", "add", name)
        self._namespaces.append(name)
        _ip("-n", name, "link", "set", "lo", "up")

    def add_address(self, k, address):
        """Adds a station address on segment k's side of the wire."""
        net = segment_network(k)
        _ip("-n", self.segment_ns[k], "addr", "add", f"{address}/{net.prefixlen}",
            "brd", broadcast_address(k), "dev", f"seg{k}")

    def _wait_addresses_usable(self):
        # IPv4 addresses are usable at once; only tentative IPv6 addresses would wait, and
        # the lab uses none. The veth carrier comes up with both ends up: wait for it.
        deadline = time.monotonic() + 5
        for k in range(self.adapters):
            path = f"/sys/class/net/lana{k}/operstate"
            while True:
                state = self.exec_output(self.client_ns, ["cat", path]).strip()
                if state == "up":
                    break
                if time.monotonic() > deadline:
                    raise LabError(f"lana{k} stays {state!r}")
                time.sleep(0.02)

    def exec_output(self, ns, argv):
        return subprocess.run(["ip", "netns", "exec", ns, *argv], capture_output=True,
                              text=True, check=False).stdout

    def _start_station(self, number, station):
        station.log_path = os.path.join(self.logs, f"station{number}-lana{station.lana}.jsonl")
        err = open(os.path.join(self.logs, f"station{number}-lana{station.lana}.err"), "wb")
        read_end, write_end = os.pipe()
        argv = [sys.executable, STATION_SCRIPT, "--address", station.address,
                "--broadcast", broadcast_address(station.lana), "--log", station.log_path,
                "--ready-fd", str(write_end), *station.options]
        try:
            station.process = self.spawn(station.lana, argv, pass_fds=(write_end,), stderr=err)
        finally:
            os.close(write_end)
            err.close()
        try:
            ready, _, _ = select.select([read_end], [], [], STATION_READY_SECONDS)
            signal_bytes = os.read(read_end, 64) if ready else b""
        finally:
            os.close(read_end)
        if not signal_bytes.startswith(b"ready"):
            raise LabError(f"station {number} on LANA {station.lana} did not start: "
                           f"see {err.name}")

    def spawn(self, k, argv, new_session=True, **popen_args):
        """Starts argv (as root) in segment k's namespace; stopped at teardown."""
        return self._spawn(self.segment_ns[k], argv, new_session, **popen_args)

    def spawn_client(self, argv, new_session=True, **popen_args):
        """Starts argv (as root) in the client namespace; stopped at teardown."""
        return self._spawn(self.client_ns, argv, new_session, **popen_args)

    def _spawn(self, ns, argv, new_session, **popen_args):
        popen_args.setdefault("stdin", subprocess.DEVNULL)
        process = subprocess.Popen(["ip", "netns", "exec", ns, *argv],
                                   start_new_session=new_session, preexec_fn=_die_with_lab,
                                   **popen_args)
        self._processes.append((process, new_session))
        return process

    def stop_processes(self):
        """Stops every station and helper process (SIGTERM, then SIGKILL after 3 s)."""
        for process, group in self._processes:
            self._signal(process, group, signal.SIGTERM)
        deadline = time.monotonic() + 3
        for process, group in self._processes:
            try:
                process.wait(max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                self._signal(process, group, signal.SIGKILL)
                process.wait()
            if group:  # whatever the leader left in its group (smbd's children, say)
                self._signal(process, group, signal.SIGKILL)
        self._processes = []

    @staticmethod
    def _signal(process, group, sig):
        try:
            if group:
                os.killpg(process.pid, sig)
            elif process.poll() is None:
                process.send_signal(sig)
        except (ProcessLookupError, PermissionError):
            pass

    def close(self):
        """Tears the lab down; safe to call more than once, and from any state. A signal
        arriving meanwhile waits until the teardown is complete."""
        signals = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
        old_mask = signal.pthread_sigmask(signal.SIG_BLOCK, signals)
        try:
            self.stop_processes()
        finally:
            for name in reversed(self._namespaces):
                _ip("netns", "del", name, check=False)
            self._namespaces = []
            if self._own_logs:
                shutil.rmtree(self.logs, ignore_errors=True)
            signal.pthread_sigmask(signal.SIG_SETMASK, old_mask)

    # -- running the command ---------------------------------------------------------------

    def command_argv(self, argv, as_root=False):
        """argv wrapped to run in the client namespace (as nobody unless as_root)."""
        wrapped = ["ip", "netns", "exec", self.client_ns]
        if not as_root:
            wrapped += ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}",
                        "--clear-groups", "--pdeathsig", "KILL", "--"]
        return wrapped + list(argv)

    def run(self, argv, as_root=False, timeout=None, capture=True):
        """Runs argv in the client namespace; returns subprocess.CompletedProcess."""
        out = subprocess.PIPE if capture else None
        return subprocess.run(self.command_argv(argv, as_root), stdin=subprocess.DEVNULL,
                              stdout=out, stderr=out, timeout=timeout, check=False)

    def popen(self, argv, as_root=False, **popen_args):
        """Starts argv in the client namespace; the caller waits for it (killed at teardown)."""
        popen_args.setdefault("stdin", subprocess.DEVNULL)
        process = subprocess.Popen(self.command_argv(argv, as_root), preexec_fn=_die_with_lab,
                                   **popen_args)
        self._processes.append((process, False))
        return process

    # -- what the stations saw -------------------------------------------------------------

    def station_log(self, number):
        """The records station `number` logged; stops all stations first so that nothing
        is still on its way into the log."""
        self.stop_processes()
        station = self.stations[number]
        records = []
        if os.path.exists(station.log_path):
            with open(station.log_path, encoding="utf-8") as log:
                records = [json.loads(line) for line in log if line.strip()]
        return records


class _Interrupted(Exception):
    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def _raise_on_signal(signum, _frame):
    raise _Interrupted(signum)


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Runs COMMAND in a throwaway NetBIOS lab (network namespaces).")
    parser.add_argument("--adapters", type=int, default=1, help="adapters in the client (1)")
    parser.add_argument("--station", action="append", default=[], metavar="SPEC",
                        help="LANA:station.py options, e.g. '1:--name ABC.COMMAND.SRV'")
    parser.add_argument("--logs", help="folder for station logs (default: a fresh /tmp one)")
    parser.add_argument("--as-root", action="store_true", help="run COMMAND as root")
    parser.add_argument("command", nargs=argparse.REMAINDER, help="-- COMMAND ARGS...")
    args = parser.parse_args(argv)
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no COMMAND given (after --)")
    if os.geteuid() != 0:
        print("lab.py: must run as root (it creates network namespaces)", file=sys.stderr)
        return 77

    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _raise_on_signal)
    try:
        stations = [Station.parse(spec) for spec in args.station]
        with Lab(args.adapters, stations, args.logs) as lab:
            process = lab.popen(command, as_root=args.as_root)
            status = process.wait()
            if args.logs:
                lab.stop_processes()
        return status if status >= 0 else 128 - status
    except _Interrupted as interrupted:
        return 128 + interrupted.signum
    except (LabError, subprocess.CalledProcessError) as error:
        detail = getattr(error, "stderr", None)
        print(f"lab.py: {error}" + (f": {detail.decode().strip()}" if detail else ""),
              file=sys.stderr)
        return 125


if __name__ == "__main__":
    sys.exit(main())
