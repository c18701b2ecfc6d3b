"""A tshark capture on one segment of a lab, and tshark's reading of it afterwards.

    capture = Capture(lab, k, "/some/folder/segment.pcapng")
    capture.start()          # returns once tshark really captures on seg<k>
    ...                      # run the command
    capture.stop()           # returns once every packet sent so far is in the file
    capture.problems()       # malformed packets, expert info of severity warning and above
    capture.frames(["ip.src", "nbns.name"], "nbns")

tshark runs as root in segment k's namespace, where it sees everything the client's adapter
k sends and receives; the lab stops it at teardown whatever happens. Reading the file runs no
name resolution, so nothing is looked up from the host.

Packets reach the capture file in batches, some time after they crossed the wire, and tshark
announces its capture before the capture engine runs. Both ends are therefore proven with
marker datagrams from the client's adapter (UDP port 9 to the segment's broadcast address,
nothing NetBIOS): start() returns once tshark has written one, so the capture is live; stop()
sends one after the command has ended and waits until tshark has written it, so everything
sent before it is in the file too.
"""

import itertools
import shutil
import signal
import subprocess
import sys
import threading
import time

import lab as lablib

NETBIOS_FILTER = "udp port 137 or tcp port 139"
MARKER_PORT = 9
MARKER_TEXT = "tolverin lab: capture marker"
MARKER_SENDER = """import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.bind((sys.argv[1], 0))
s.sendto(bytes.fromhex(sys.argv[4]), (sys.argv[2], int(sys.argv[3])))
"""
MARKER_SECONDS = 1.0  # for a start marker, before the next one is sent
START_SECONDS = 30
STOP_SECONDS = 15
# What tshark prints as root; it is advice, not a failure.
ROOT_WARNING = "This could be dangerous."


class CaptureError(Exception):
    pass


class Capture:
    def __init__(self, lab, k, path):
        self.lab = lab
        self.k = k
        self.path = path
        self.process = None
        self.stderr = []
        self._markers = set()  # payloads (hex) of the markers that tshark has written
        self._ended = False  # tshark's standard output has closed
        self._lines = threading.Condition()
        self._readers = []

    def start(self):
        """Starts tshark and returns once a packet sent from the client has been captured:
        tshark says "Capturing on" before its capture engine has started, so that line is
        only where the check begins."""
        if not shutil.which("tshark"):
            raise CaptureError("tshark is not installed")
        # -P -l -T fields: one line per packet on standard output as it is written to the
        # file; a marker's line says that everything sent before it is in the file.
        argv = ["tshark", "-n", "-i", f"seg{self.k}", "-w", self.path,
                "-f", f"{NETBIOS_FILTER} or udp port {MARKER_PORT}",
                "-P", "-l", "-T", "fields", "-e", "ip.src", "-e", "udp.dstport",
                "-e", "udp.payload"]
        self.process = self.lab.spawn(self.k, argv, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE)
        self._read(self.process.stderr, self._stderr_line)
        self._read(self.process.stdout, self._stdout_line, ends_capture=True)
        deadline = time.monotonic() + START_SECONDS
        if not self._wait(lambda: any("Capturing on" in line for line in self.stderr),
                          START_SECONDS):
            raise CaptureError(f"tshark did not start on seg{self.k}: {self.messages()}")
        # A marker sent before the capture engine is ready is lost: send another.
        for attempt in itertools.count():
            if self._mark(f"start {attempt}", MARKER_SECONDS):
                return
            if self._ended or time.monotonic() > deadline:
                raise CaptureError(f"tshark captured none of {attempt + 1} markers: "
                                   f"{self.messages()}")

    def stop(self):
        """Returns once tshark has ended and the file holds what the command sent."""
        if not self._mark("end", STOP_SECONDS):
            raise CaptureError(f"tshark did not capture the end-of-capture marker: "
                               f"{self.messages()}")
        self.process.send_signal(signal.SIGINT)  # as Ctrl-C: tshark closes the file
        try:
            self.process.wait(STOP_SECONDS)
        except subprocess.TimeoutExpired:
            raise CaptureError("tshark did not stop on SIGINT") from None
        for reader in self._readers:
            reader.join(STOP_SECONDS)

    def _mark(self, label, seconds):
        """Sends a marker from the client's adapter k to the segment's broadcast address;
        true once tshark has written it to the file within `seconds`."""
        payload = f"{MARKER_TEXT} {label}".encode("ascii").hex()
        sent = self.lab.run([sys.executable, "-c", MARKER_SENDER,
                             lablib.client_address(self.k), lablib.broadcast_address(self.k),
                             str(MARKER_PORT), payload], timeout=STOP_SECONDS)
        if sent.returncode != 0:
            raise CaptureError(f"marker not sent: {sent.stderr!r}")
        return self._wait(lambda: payload in self._markers, seconds)

    def _wait(self, condition, seconds):
        with self._lines:
            self._lines.wait_for(lambda: condition() or self._ended, seconds)
            return condition()

    def _read(self, stream, take, ends_capture=False):
        def read():
            for raw in stream:
                with self._lines:
                    take(raw.decode("utf-8", "replace").rstrip("\n"))
                    self._lines.notify_all()
            with self._lines:
                self._ended = self._ended or ends_capture
                self._lines.notify_all()

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        self._readers.append(reader)

    def _stderr_line(self, line):
        self.stderr.append(line)

    def _stdout_line(self, line):
        source, _, rest = line.partition("\t")
        port, _, payload = rest.partition("\t")
        if source == lablib.client_address(self.k) and port == str(MARKER_PORT):
            self._markers.add(payload.replace(":", ""))

    def messages(self):
        """What tshark said on standard error, but for its warning about running as root."""
        return " / ".join(line for line in self.stderr if ROOT_WARNING not in line)

    def read(self, arguments):
        result = subprocess.run(["tshark", "-n", "-r", self.path, *arguments],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                check=False)
        if result.returncode != 0:
            raise CaptureError(f"tshark -r {self.path} failed ({result.returncode}): "
                               f"{result.stderr.strip()}")
        return result.stdout

    def problems(self):
        """tshark's summary lines of the malformed packets and those with expert info of
        severity warning or above; empty if there is none."""
        return self.read(["-Y", "_ws.malformed || _ws.expert.severity >= warning"]).rstrip()

    def frames(self, fields, display_filter):
        """One dict per frame that passes display_filter: field name to tshark's text
        (several occurrences in one frame joined by "|")."""
        arguments = ["-Y", display_filter, "-T", "fields", "-E", "occurrence=a",
                     "-E", "aggregator=|"]
        for field in fields:
            arguments += ["-e", field]
        return [dict(zip(fields, line.split("\t")))
                for line in self.read(arguments).splitlines()]

