#!/usr/bin/env python3
"""Seeds the fuzz corpora with what real peers send: runs the command in labs against the
test station (lab/station.py) and, where installed, Samba's nmbd and smbd, captures segment 0
with tshark (lab/capture.py), and writes what the peers sent as corpus files:

    UDP 137 payloads from a peer   -> corpus/name_service_response_fuzz/ and
                                      corpus/encoded_name_fuzz/, made to answer the target's
                                      outstanding request (see below)
    TCP 139 bytes from a peer      -> corpus/session_response_fuzz/, one file per connection

The name service target waits for a query of "ABC.COMMAND.SRV" (transaction 0x0F0E) and a
registration of "ABC.PELMOK.CLT" (transaction 0x1234). An answer to one of the command's own
requests gets that transaction id, and the request's encoded name is replaced by the target's
wherever it occurs, so that the answer reaches the same parser paths in the target as in the
command; and an answer seen in several runs, with their random transaction ids, is one file.
Files are named by the SHA-1 of their bytes; existing ones are left alone.

    seed_from_lab.py [--binary build/cli/tolverin] [--corpus netbios/fuzz/corpus]
                     [--only SCENARIO]... [--list]

Needs root (the lab makes network namespaces; nothing is sent outside them) and tshark.
"""

import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "lab"))
sys.path.insert(0, os.path.join(REPO, "lab", "tests"))
import lab as lablib  # noqa: E402
from capture import Capture, CaptureError  # noqa: E402

RUN_SECONDS = 90
QUERY = 0x0
REGISTRATION = 0x5
# The target's outstanding requests: opcode -> (transaction id, 16 raw bytes).
OUTSTANDING = {
    QUERY: (0x0F0E, b"ABC.COMMAND.SRV".ljust(16, b"\0")),
    REGISTRATION: (0x1234, b"ABC.PELMOK.CLT".ljust(16, b"\0")),
}
HEADER_LENGTH = 12
ENCODED_NAME_LENGTH = 34


def encode_name(raw):
    """The 16 bytes first-level encoded, empty scope."""
    letters = b"".join(bytes((0x41 + (b >> 4), 0x41 + (b & 0x0F))) for b in raw)
    return bytes((32,)) + letters + b"\0"


# -- the runs --------------------------------------------------------------------------------

class Scenario:
    """One run of the command on a one-adapter lab: `stations` on segment 0 (station.py
    options), or `samba` (name, daemons) started there; the command's argument."""

    def __init__(self, argument, stations=(), samba=None):
        self.argument = argument
        self.stations = [list(options) for options in stations]
        self.samba = samba


def station_scenarios():
    server = ["--name", "ABC.COMMAND.SRV"]
    scenarios = {
        "negative_0x83": Scenario("ABC", [server]),
        "positive": Scenario("ABC", [server + ["--session", "positive"]]),
        "defended": Scenario("ABC", [server + ["--defend", "ABC.PELMOK.CLT"]]),
        "keepalives": Scenario("ABC", [server + ["--keepalives", "3"]]),
        "retarget": Scenario("ABC", [server + ["--session", "139=retarget:198.51.100.2:1139",
                                              "--session", "1139=negative:0x83"]]),
        "two_addresses": Scenario("ABC", [server + ["--answer-address", "203.0.113.200",
                                                    "--answer-address", "198.51.100.2"]]),
        "truncated_answer": Scenario("ABC", [server + ["--session", "garbage:83000000"]]),
        "keepalive_then_positive": Scenario(
            "ABC", [server + ["--session", "garbage:8500000082000000"]]),
        "long_length": Scenario("ABC", [server + ["--session", "garbage:8301000183"]]),
    }
    for code in ("0x80", "0x81", "0x82", "0x8F"):
        scenarios[f"negative_{code}"] = Scenario(
            "ABC", [server + ["--session", f"negative:{code}"]])
    # Spoiled answers to the registrations, then to the query before the right answer (not
    # "garbage" and "flood": random bytes and thousands of near-copies make poor seeds).
    for kind in ("wrong-id", "wrong-opcode", "wrong-name", "not-response", "truncated",
                 "oversize", "pointer-self", "pointer-forward", "pointer-chain"):
        scenarios[f"hostile_{kind.replace('-', '_')}"] = Scenario(
            "ABC", [["--hostile", kind] + server])
    # Samba's names are blank-padded to 15 bytes, then the suffix: a 15-byte name with
    # suffix 0 is the command's zero-padded name.
    scenarios["samba_answers_and_accepts"] = Scenario(
        "ABC", samba=("ABC.COMMAND.SRV", ("nmbd", "smbd")))
    scenarios["samba_defends"] = Scenario("ABCD", samba=("ABCD.PELMOK.CLT", ("nmbd",)))
    return scenarios


def run(scenario, binary, workdir):
    """Runs the scenario with a capture of segment 0; returns (client address, capture)."""
    stations = [lablib.Station(0, options) for options in scenario.stations]
    with lablib.Lab(1, stations, logs=os.path.join(workdir, "logs")) as lab:
        if scenario.samba:
            import e2e  # only here: it brings Samba's configuration for the lab
            name, daemons = scenario.samba
            e2e.start_samba(lab, workdir, 0, name, daemons)
        capture = Capture(lab, 0, os.path.join(workdir, "seg0.pcapng"))
        capture.start()
        lab.run([binary, scenario.argument], timeout=RUN_SECONDS)
        capture.stop()
        return lablib.client_address(0), capture


# -- from the capture to corpus files ------------------------------------------------------

def payloads(capture, display_filter, fields):
    """(field values) of each frame passing the filter, payloads as bytes."""
    rows = []
    for frame in capture.frames(fields, display_filter):
        rows.append([bytes.fromhex(frame[f].replace(":", "")) if f.endswith("payload")
                     else frame[f] for f in fields])
    return rows


def datagrams(capture, client):
    """(datagrams the client sent, datagrams peers sent) on UDP 137."""
    sent, received = [], []
    for source, payload in payloads(capture, "udp.port == 137", ["ip.src", "udp.payload"]):
        (sent if source == client else received).append(payload)
    return sent, received


def session_streams(capture):
    """The bytes peers sent on each TCP 139 connection, in order."""
    streams = {}
    for stream, payload in payloads(capture, "tcp.srcport == 139 && tcp.len > 0",
                                    ["tcp.stream", "tcp.payload"]):
        streams[stream] = streams.get(stream, b"") + payload
    return list(streams.values())


def answering_outstanding(datagram, requests):
    """The datagram as an answer to the target's outstanding request, if it answers one of
    the command's requests (same transaction id); else the datagram as it is."""
    if len(datagram) < 2:
        return datagram
    request = requests.get(datagram[:2])
    if request is None:
        return datagram
    opcode, encoded = request
    trn_id, name = OUTSTANDING[opcode]
    return struct.pack(">H", trn_id) + datagram[2:].replace(encoded, encode_name(name))


def requests_by_id(sent):
    """The command's queries and registrations: transaction id -> (opcode, encoded name)."""
    requests = {}
    for datagram in sent:
        if len(datagram) >= HEADER_LENGTH + ENCODED_NAME_LENGTH:
            opcode = datagram[2] >> 3 & 0xF
            if opcode in OUTSTANDING:
                requests[datagram[:2]] = (opcode, datagram[HEADER_LENGTH:HEADER_LENGTH +
                                                           ENCODED_NAME_LENGTH])
    return requests


def write(corpus, target, data):
    """Writes one corpus file named by its SHA-1; true if it is new."""
    folder = os.path.join(corpus, target)
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, hashlib.sha1(data).hexdigest())
    if os.path.exists(path):
        return False
    with open(path, "wb") as out:
        out.write(data)
    return True


def seed(capture, client, corpus):
    """Writes the capture's peer payloads; returns {target: new files}."""
    sent, received = datagrams(capture, client)
    requests = requests_by_id(sent)
    files = {"name_service_response_fuzz": set(), "encoded_name_fuzz": set(),
             "session_response_fuzz": set()}
    for datagram in received:
        answer = answering_outstanding(datagram, requests)
        files["name_service_response_fuzz"].add(answer)
        files["encoded_name_fuzz"].add(answer)
    files["session_response_fuzz"].update(session_streams(capture))
    return {target: sum(write(corpus, target, data) for data in sorted(found))
            for target, found in files.items()}


def main(argv):
    scenarios = station_scenarios()
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--binary", default=os.path.join(REPO, "build", "cli", "tolverin"))
    parser.add_argument("--corpus", default=os.path.join(HERE, "corpus"))
    parser.add_argument("--only", action="append", choices=sorted(scenarios), default=[])
    parser.add_argument("--list", action="store_true", help="name the scenarios")
    args = parser.parse_args(argv[1:])
    if args.list:
        print("\n".join(scenarios))
        return 0
    if os.geteuid() != 0:
        print("seed_from_lab.py: needs root (network namespaces)", file=sys.stderr)
        return 77
    if not shutil.which("tshark"):
        print("seed_from_lab.py: needs tshark", file=sys.stderr)
        return 1
    binary = os.path.abspath(args.binary)
    if not os.access(binary, os.X_OK):
        print(f"seed_from_lab.py: no command at {binary} (build it first)", file=sys.stderr)
        return 1

    failed = []
    for name in args.only or scenarios:
        with tempfile.TemporaryDirectory(prefix="tlv-seed-") as workdir:
            os.chmod(workdir, 0o755)  # the command runs as nobody
            try:
                client, capture = run(scenarios[name], binary, workdir)
                added = seed(capture, client, args.corpus)
            except Exception as error:  # one failed run does not spoil the others
                if type(error).__name__ == "SkipCase":  # Samba is not installed
                    print(f"{name}: skipped: {error}")
                    continue
                failed.append(name)
                print(f"{name}: failed: {type(error).__name__}: {error}")
                continue
        print(f"{name}: new files " +
              ", ".join(f"{target} {count}" for target, count in added.items()))
    if failed:
        print(f"failed runs: {' '.join(failed)}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
