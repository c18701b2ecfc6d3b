#!/usr/bin/env python3
"""End-to-end cases: the built command in a lab, against the test station or Samba.

    e2e.py CASE TOLVERIN_BINARY      runs one case (exit 0 pass, 1 fail, 77 skipped)
    e2e.py --list                    names the cases

Each case states what a user sees: standard output byte for byte, the exit status, and what
reached the peer on the wire (the station's log; in the wire_ cases also tshark's reading of a
capture of the segment). Needs root for the namespaces.

Command arguments, expected output and names are written as text whose characters stand for
bytes one to one (latin-1): "\xe9" is the byte 0xE9, on the command line and in the output.
"""

import copy
import difflib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import lab as lablib  # noqa: E402
from capture import Capture, CaptureError  # noqa: E402
from lab import Lab, Station  # noqa: E402

SKIP = 77
RUN_LIMIT_SECONDS = 90
SEPARATOR = "\n----------------------------\n"


def absent(first):
    """Trace lines of the LANAs from `first` to 254, which have no adapter (35)."""
    return "".join(f"LANA={lana} Ret.code=35\n" for lana in range(first, 255))


def not_found(name):
    return f"{SEPARATOR}\n Station '{name}' not found \n"


def found(name, lana):
    return f"{SEPARATOR}\n Station '{name}' LANA={lana} \n"


def hexname(text):
    """The 16 raw bytes of a name written as text, zero-padded, in hex (as the station logs)."""
    raw = text.encode("latin-1")
    assert len(raw) <= 16
    return raw.ljust(16, b"\0").hex()


# -- what the station saw -----------------------------------------------------------------

class Expect:
    """Assertions on one station's log records."""

    def __init__(self, records, lana):
        self.records = records
        self.client = lablib.client_address(lana)  # the client's address on that segment
        self.broadcast = lablib.broadcast_address(lana)

    def of(self, kind, name=None):
        return [r for r in self.records
                if r["kind"] == kind and (name is None or r.get("name_hex") == hexname(name))]

    def broadcasts_from_client(self, kind, name, count):
        got = self.of(kind, name)
        check(len(got) == count, f"{count} {kind} packet(s) for {name!r}, got {len(got)}: "
              f"{[r.get('name_text') for r in self.of(kind)]}")
        for r in got:
            check(r["flags"]["broadcast"], f"{kind} for {name!r} without the broadcast flag")
            check(r["destination"] == self.broadcast,
                  f"{kind} sent to {r['destination']}, not to {self.broadcast}")
            check(r["source"] == self.client, f"{kind} from {r['source']}, want {self.client}")
            check(r["scope"] == "", f"{kind} with a scope {r['scope']!r}")
        return got

    def group_registrations(self, name, count):
        for r in self.broadcasts_from_client("registration", name, count):
            check(r["group"], f"registration of {name!r} is not a group registration")
            check(r["nb_address"] == self.client,
                  f"registration gives address {r['nb_address']}, want {self.client}")

    def session_requests(self, called, calling, count=1):
        got = self.of("session_request")
        check(len(got) == count, f"{count} session request(s), got {len(got)}")
        for r in got:
            check(r["called_hex"] == hexname(called),
                  f"called name {r['called_text']!r}, want {called!r} zero-padded")
            check(r["calling_hex"] == hexname(calling),
                  f"calling name {r['calling_text']!r}, want {calling!r} zero-padded")
            check(r["source"] == self.client, f"session from {r['source']}")

    def released_after_call(self, name):
        got = self.broadcasts_from_client("release", name, 1)
        calls = [r["time"] for r in self.of("connection")]
        check(calls and got[0]["time"] >= max(calls), "name released before the call")

    def released_last(self, name):
        """One release of `name`, after every registration, query and connection."""
        got = self.broadcasts_from_client("release", name, 1)
        before = [r["time"] for r in self.records
                  if r["kind"] in ("registration", "overwrite", "query", "connection")]
        check(got[0]["time"] >= max(before), "the name was released before the probe ended")

    def only_names(self, *names):
        wanted = {hexname(name) for name in names}
        other = {r["name_text"] for r in self.records if r.get("name_hex") not in (None, *wanted)}
        check(not other, f"names on the wire other than {names}: {sorted(other)}")

    def harassed(self):
        """Every registration and query drew the station's spoiled answers."""
        spoiled = {r["transaction_id"] for r in self.of("hostile") if r["count"] > 0}
        requests = self.of("registration") + self.of("query")
        check(requests and all(r["transaction_id"] in spoiled for r in requests),
              "a request drew no spoiled answers: the case tests nothing")

    def registration_stood(self, window):
        """The name was claimed (overwrite demand) a whole `window` after the first request:
        nothing that came meanwhile ended the registration early."""
        requests, claims = self.of("registration"), self.of("overwrite")
        check(requests and len(claims) == 1, f"{len(claims)} overwrite demands, want 1")
        waited = claims[0]["time"] - requests[0]["time"]
        check(waited >= window - EARLY, f"the name was claimed after {waited:.2f} s, before "
              f"its {window} s window ended")

    def hung_up_within(self, seconds):
        """The client closed each kept-busy session within `seconds` of its request."""
        asked = [r["time"] for r in self.of("session_request")]
        ends = [r["time"] for r in self.of("session_end")]
        check(len(ends) == len(asked) == 1, f"{len(asked)} requests, {len(ends)} session ends")
        check(ends[0] - asked[0] <= seconds,
              f"the client hung up {ends[0] - asked[0]:.2f} s after its request, bound "
              f"{seconds} s")

    def nothing_else(self, allowed):
        others = [r for r in self.records if r["kind"] not in allowed]
        check(not others, f"unexpected packets: {others}")


class CaseFailure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CaseFailure(message)


def station_saw(lab, number=0):
    return Expect(lab.station_log(number), lab.stations[number].lana)


# -- the cases -------------------------------------------------------------------------------

class Case:
    def __init__(self, adapters, stations, argument, stdout, status, log=None, timing=None,
                 setup=None, wire=None):
        self.adapters = adapters
        self.stations = stations
        # The command's arguments: one, or a tuple of them.
        self.arguments = argument if isinstance(argument, tuple) else (argument,)
        self.stdout = stdout
        self.status = status
        self.log = log  # (lab) -> None, raises CaseFailure
        self.timing = timing  # (lines with arrival times, end time) -> None
        self.setup = setup  # (lab, workdir) -> None, starts real peers
        self.wire = wire  # Wire: a tshark capture of one segment, and what it must show


def negative_0x83_on_lana1_log(lab):
    seen = station_saw(lab)
    seen.group_registrations("PLANT7.PELMOK.CL", 3)
    seen.broadcasts_from_client("query", "PLANT7.COMMAND.S", 1)
    seen.session_requests("PLANT7.COMMAND.S", "PLANT7.PELMOK.CL")
    seen.released_after_call("PLANT7.PELMOK.CL")
    seen.nothing_else({"registration", "overwrite", "query", "connection", "session_request",
                       "release"})


def no_station_log(lab):
    # A listener that answers nothing: the probe's packets reach the segment, three tries each.
    seen = station_saw(lab)
    seen.group_registrations("GHOST.PELMOK.CLT", 3)
    seen.broadcasts_from_client("query", "GHOST.COMMAND.SR", 3)
    seen.broadcasts_from_client("release", "GHOST.PELMOK.CLT", 1)
    check(not seen.of("connection"), "a TCP connection without an answered query")


def positive_log(lab):
    seen = station_saw(lab)
    seen.session_requests("OPEN.COMMAND.SRV", "OPEN.PELMOK.CLT")
    seen.released_after_call("OPEN.PELMOK.CLT")


def defended_log(lab):
    seen = station_saw(lab)
    seen.group_registrations("ABCD.PELMOK.CLT", 1)
    check(seen.of("registration")[0]["answered"], "the station did not object")
    check(not seen.of("query") and not seen.of("connection"),
          "the probe went on to call after its registration was refused")
    check(not seen.of("release"), "a name that was never registered was released")


def names_log(client, server):
    def assertions(lab):
        seen = station_saw(lab)
        seen.group_registrations(client, 3)
        seen.broadcasts_from_client("query", server, 1)
        seen.session_requests(server, client)
        seen.released_after_call(client)
        seen.only_names(client, server)
    return assertions


def one_connection_log(called, calling, requests):
    def assertions(lab):
        seen = station_saw(lab)
        check(len(seen.of("connection")) == 1, "not exactly one connection")
        if requests:
            seen.session_requests(called, calling)
        seen.released_after_call(calling)
    return assertions


def first_line_within(seconds):
    def assertions(lines, _end):
        check(lines, "no output")
        check(lines[0][0] <= seconds,
              f"LANA 0's line came after {lines[0][0]:.1f} s, bound {seconds} s")
    return assertions


def streams_while_working(lines, end):
    # LANA 1's station keeps silent, so its call waits about 5 s: LANA 0's line must be out
    # (through a pipe) well before the command ends.
    check(lines and lines[0][1] == b"LANA=0 Ret.code=20\n", "LANA 0's line is not first")
    check(end - lines[0][0] >= 3.0,
          f"LANA 0's line arrived {end - lines[0][0]:.2f} s before the end: buffered")


def station(lana, *options):
    return Station(lana, list(options))


CASES = {
    "negative_0x83_on_lana1": Case(
        3, [station(1, "--name", "PLANT7.COMMAND.S", "--session", "negative:0x83")],
        "PLANT7",
        "LANA=0 Ret.code=20\nLANA=1 Ret.code=18\n"
        "\n----------------------------\n\n Station 'PLANT7' LANA=1 \n",
        1, log=negative_0x83_on_lana1_log),
    "no_station": Case(
        2, [station(1, "--name", "SOMEONE.ELSE")], "GHOST",
        "LANA=0 Ret.code=20\nLANA=1 Ret.code=20\n" + absent(2) +
        "\n----------------------------\n\n Station 'GHOST' not found \n",
        255, log=no_station_log),
    "positive_scan_goes_on": Case(
        3, [station(1, "--name", "OPEN.COMMAND.SRV", "--session", "positive")], "OPEN",
        "LANA=0 Ret.code=20\nLANA=1 Ret.code=0\nLANA=2 Ret.code=20\n" + absent(3) +
        not_found("OPEN"), 255, log=positive_log),
    "client_name_defended": Case(
        2, [station(0, "--name", "ABCD.COMMAND.SRV", "--defend", "ABCD.PELMOK.CLT")], "ABCD",
        "LANA=0 Ret.code=22\nLANA=1 Ret.code=20\n" + absent(2) + not_found("ABCD"),
        255, log=defended_log),
    "station_on_lana0": Case(
        2, [station(0, "--name", "Q.COMMAND.SRV", "--session", "negative:0x83")], "Q",
        "LANA=0 Ret.code=18\n" + found("Q", 0), 0,
        log=names_log("Q.PELMOK.CLT", "Q.COMMAND.SRV")),
    "lower_case_name": Case(
        1, [station(0, "--name", "PLANT7.COMMAND.S")], "plant7",
        "LANA=0 Ret.code=18\n" + found("PLANT7", 0), 0,
        log=names_log("PLANT7.PELMOK.CL", "PLANT7.COMMAND.S")),
    "seven_characters_cut_at_16": Case(
        1, [station(0, "--name", "ABCDEFG.COMMAND.")], "ABCDEFG",
        "LANA=0 Ret.code=18\n" + found("ABCDEFG", 0), 0,
        log=names_log("ABCDEFG.PELMOK.C", "ABCDEFG.COMMAND.")),
    "short_name_zero_padded": Case(
        1, [station(0, "--name", "AB.COMMAND.SRV")], "ab",
        "LANA=0 Ret.code=18\n" + found("AB", 0), 0,
        log=names_log("AB.PELMOK.CLT", "AB.COMMAND.SRV")),
    "silent_station_times_out": Case(
        2, [station(0, "--name", "MUTE.COMMAND.SRV", "--session", "silence")], "MUTE",
        "LANA=0 Ret.code=5\nLANA=1 Ret.code=20\n" + absent(2) + not_found("MUTE"), 255,
        log=one_connection_log("MUTE.COMMAND.SRV", "MUTE.PELMOK.CLT", True),
        timing=first_line_within(0.75 + 15 + 1)),
    "station_closes_at_once": Case(
        1, [station(0, "--name", "SHUT.COMMAND.SRV", "--session", "close")], "SHUT",
        "LANA=0 Ret.code=24\n" + absent(1) + not_found("SHUT"), 255,
        log=one_connection_log("SHUT.COMMAND.SRV", "SHUT.PELMOK.CLT", False)),
    "station_closes_after_reading": Case(
        1, [station(0, "--name", "SHUT.COMMAND.SRV", "--session", "close-after-read")], "SHUT",
        "LANA=0 Ret.code=24\n" + absent(1) + not_found("SHUT"), 255,
        log=one_connection_log("SHUT.COMMAND.SRV", "SHUT.PELMOK.CLT", True)),
    "output_streams_through_a_pipe": Case(
        2, [station(1, "--name", "PIPE.COMMAND.SRV", "--session", "silence")], "PIPE",
        "LANA=0 Ret.code=20\nLANA=1 Ret.code=5\n" + absent(2) + not_found("PIPE"), 255,
        timing=streams_while_working),
    "malformed_answer": Case(
        1, [station(0, "--name", "ODD.COMMAND.SRV", "--session", "garbage:83000000")], "ODD",
        "LANA=0 Ret.code=64\n" + absent(1) + not_found("ODD"), 255),
    "keepalives_then_0x83": Case(
        1, [station(0, "--name", "KEEP.COMMAND.SRV", "--keepalives", "3",
                    "--session", "negative:0x83")], "KEEP",
        "LANA=0 Ret.code=18\n" + found("KEEP", 0), 0),
    "retarget_followed_once": Case(
        1, [station(0, "--name", "HOP.COMMAND.SRV",
                    "--session", "139=retarget:198.51.100.2:1139",
                    "--session", "1139=negative:0x83")], "HOP",
        "LANA=0 Ret.code=18\n" + found("HOP", 0), 0,
        log=lambda lab: station_saw(lab).session_requests(
            "HOP.COMMAND.SRV", "HOP.PELMOK.CLT", 2)),
    "second_retarget_refused": Case(
        1, [station(0, "--name", "HOP.COMMAND.SRV",
                    "--session", "139=retarget:198.51.100.2:1139",
                    "--session", "1139=retarget:198.51.100.2:2139",
                    "--session", "2139=negative:0x83")], "HOP",
        "LANA=0 Ret.code=20\n" + absent(1) + not_found("HOP"), 255),
    "multihomed_answer_own_subnet_first": Case(
        1, [station(0, "--name", "TWO.COMMAND.SRV", "--answer-address", "203.0.113.200",
                    "--answer-address", "198.51.100.2")], "TWO",
        "LANA=0 Ret.code=18\n" + found("TWO", 0), 0),
}

# Negative session responses other than 0x83 end the call with NRC_NOCALL.
for _code in ("0x80", "0x81", "0x82", "0x8F"):
    CASES[f"negative_{_code}_is_nocall"] = Case(
        1, [station(0, "--name", "NEG.COMMAND.SRV", "--session", f"negative:{_code}")], "NEG",
        "LANA=0 Ret.code=20\n" + absent(1) + not_found("NEG"), 255)


# -- hostile stations ------------------------------------------------------------------------
# Each case meets one broken or hostile peer on LANA 0 and bounds how long that LANA's probe
# took (its line's arrival): registration and query windows of 750 ms each, connect 2 s,
# session answer 5 s.

WINDOW = 0.75  # three broadcasts 250 ms apart
CONNECT = 2.0
ANSWER = 5.0
EARLY = 0.05  # a line this much before its bound did not wait
SLACK = 1.0  # what a busy machine (ctest -j2, sanitizers) may add


def lana0_took(least, most):
    """LANA 0's line came after at least `least` seconds and at most `most` plus slack."""
    def assertions(lines, _end):
        check(lines, "no output")
        took = lines[0][0]
        check(least - EARLY <= took <= most + SLACK,
              f"LANA 0's probe took {took:.2f} s, want {least:.2f} to {most:.2f} s "
              f"(+{SLACK} s)")
    return assertions


def probe_log(client, server, queries, connections=0, requests=0, hostile=False,
              hung_up_within=None):
    """The probe as the station saw it: three group registrations of `client`, `queries`
    queries for `server`, `connections` connections carrying `requests` session requests,
    then the client name released; with `hostile`, spoiled answers to every request."""
    def assertions(lab):
        seen = station_saw(lab)
        seen.group_registrations(client, 3)
        seen.broadcasts_from_client("query", server, queries)
        check(len(seen.of("connection")) == connections,
              f"{len(seen.of('connection'))} connection(s), want {connections}")
        seen.session_requests(server, client, requests)
        seen.released_last(client)
        seen.only_names(client, server)
        if hostile:
            seen.harassed()
            seen.registration_stood(WINDOW)
        if hung_up_within is not None:
            seen.hung_up_within(hung_up_within)
    return assertions


# Spoiled name service answers (station.py --hostile): the layer drops each of them, so a
# registration still stands after its window, and a query ends only at its right answer.
HOSTILE_DATAGRAMS = ("garbage", "wrong-id", "wrong-opcode", "wrong-name", "not-response",
                     "truncated", "oversize", "pointer-self", "pointer-forward",
                     "pointer-chain", "flood")
HARM = ("HARM.PELMOK.CLT", "HARM.COMMAND.SRV")

for _kind in HOSTILE_DATAGRAMS:
    _name = _kind.replace("-", "_")
    # Dropped, then the right answer counts: the call is made and meets 0x83 (18).
    CASES[f"hostile_{_name}_then_answer"] = Case(
        1, [station(0, "--hostile", _kind, "--name", HARM[1], "--session", "negative:0x83")],
        "harm", "LANA=0 Ret.code=18\n" + found("HARM", 0), 0,
        log=probe_log(*HARM, queries=1, connections=1, requests=1, hostile=True),
        timing=lana0_took(WINDOW, WINDOW))
    # Dropped, and nothing else comes: an unanswered query (20) after both windows.
    CASES[f"hostile_{_name}_only"] = Case(
        1, [station(0, "--hostile", _kind)], "harm",
        "LANA=0 Ret.code=20\n" + absent(1) + not_found("HARM"), 255,
        log=probe_log(*HARM, queries=3, hostile=True),
        timing=lana0_took(2 * WINDOW, 2 * WINDOW))


def hostile_session(options, code, least, most, connections=1, requests=1, hung_up=None):
    """A station answering the query at once, then meeting the call with `options`; the
    probe ends with `code` on LANA 0 (and the scan goes on unless it is 18)."""
    report = found("HARM", 0) if code == 18 else absent(1) + not_found("HARM")
    return Case(
        1, [station(0, "--name", HARM[1], *options)], "harm",
        f"LANA=0 Ret.code={code}\n" + report, 0 if code == 18 else 255,
        log=probe_log(*HARM, queries=1, connections=connections, requests=requests,
                      hung_up_within=hung_up),
        timing=lana0_took(least, most))


CASES.update({
    # Accepts and never reads or answers: the answer's wait runs out (5).
    "session_stalls_without_reading": hostile_session(
        ["--session", "stall"], 5, WINDOW + ANSWER, WINDOW + ANSWER, requests=0),
    # Half a negative answer's header, then nothing: the answer's wait runs out (5).
    "session_stalls_mid_header": hostile_session(
        ["--session", "garbage:8300"], 5, WINDOW + ANSWER, WINDOW + ANSWER),
    # Keep-alives one byte a second: bytes arriving do not extend the answer's wait (5).
    "session_trickles_keepalives": hostile_session(
        ["--session", "trickle:85000000"], 5, WINDOW + ANSWER, WINDOW + ANSWER,
        hung_up=ANSWER + SLACK),
    # A negative answer one byte a second, whole after 4 s: pieced together, 0x83 (18).
    "session_trickles_negative_answer": hostile_session(
        ["--session", "trickle:8300000183"], 18, WINDOW + 4, WINDOW + 4),
    # A keep-alive every 100 ms, never an answer: keep-alives are no answer (5).
    "session_keepalives_forever": hostile_session(
        ["--session", "keepalive-forever"], 5, WINDOW + ANSWER, WINDOW + ANSWER,
        hung_up=ANSWER + SLACK),
    # Retargets to its own address and port: the second retarget refuses the call (20).
    "session_retargets_to_itself": hostile_session(
        ["--session", f"139=retarget:{lablib.station_address(0)}:139"], 20, WINDOW, WINDOW,
        connections=2, requests=2),
    # The answer names an address where nobody is: the connect's 2 s run out (5).
    "answer_points_to_nobody": hostile_session(
        ["--answer-address", "198.51.100.14"], 5, WINDOW + CONNECT, WINDOW + CONNECT,
        connections=0, requests=0),
})
# Part of a header, then a reset: the peer closed before answering (24).
for _count in (1, 2, 3):
    CASES[f"session_reset_after_{_count}_header_bytes"] = hostile_session(
        ["--session", "reset:" + "830000"[:2 * _count]], 24, WINDOW, WINDOW)


# -- careless command lines ------------------------------------------------------------------
# The argument is cut at 31 characters, upper-cased a to z only, and each name made from it
# cut at 16 bytes on the wire; only the first argument counts.

LONG_ARGUMENT = ("abcdefghijklmnopqrstuvwxyz0123456789" * 140)[:5000]


def command_line_case(argument, station_name, client, server):
    """The command run with `argument` (a tuple: several) against a station that answers
    `server` with 0x83: the report names `station_name`, the wire carries `client` and
    `server`, nothing else."""
    return Case(1, [station(0, "--name", station_escape(server))], argument,
                "LANA=0 Ret.code=18\n" + found(station_name, 0), 0,
                log=names_log(client, server))


def station_escape(name):
    """A name as a station.py --name argument: bytes outside printable ASCII as \\xHH."""
    return "".join(c if 0x20 <= ord(c) < 0x7F and c != "\\" else f"\\x{ord(c):02X}"
                   for c in name)


CASES.update({
    "argument_of_5000_characters": command_line_case(
        LONG_ARGUMENT, LONG_ARGUMENT[:31].upper(), "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"),
    "empty_argument": command_line_case("", "", ".PELMOK.CLT", ".COMMAND.SRV"),
    "bytes_above_0x7f_kept": command_line_case(
        "\xe9t\xc3\xa9", "\xe9T\xc3\xa9", "\xe9T\xc3\xa9.PELMOK.CLT",
        "\xe9T\xc3\xa9.COMMAND.SRV"),
    "first_of_1000_arguments": command_line_case(
        ("one", *(f"other{i}" for i in range(999))), "ONE", "ONE.PELMOK.CLT",
        "ONE.COMMAND.SRV"),
})


# -- what tshark saw on the wire ------------------------------------------------------------

WIRE_FIELDS = ["ip.dst", "nbns.flags.response", "nbns.flags.opcode", "nbns.flags.recdesired",
               "nbns.flags.broadcast", "nbns.name", "nbns.nb_flags.group", "nbns.addr",
               "nbss.type", "nbss.called_name", "nbss.calling_name"]
WIRE_ORDER = ["registration", "query", "session request", "release"]


def on(flag):
    return flag in ("1", "True")


def names_in(frame, field):
    """The names of a field as tshark prints them, without the description of the 16th byte
    that it adds in resource records ("AB<00> (Workstation/Redirector)")."""
    return [name.split(" (", 1)[0] for name in frame[field].split("|")]


def wire_kind(frame):
    if frame["nbss.type"]:
        packet_type = int(frame["nbss.type"], 0)
        return "session request" if packet_type == 0x81 else f"session packet {packet_type:#x}"
    if on(frame["nbns.flags.response"]):
        return "name service response"
    opcode = frame["nbns.flags.opcode"]
    return {"5": "registration", "0": "query", "6": "release"}.get(opcode, f"opcode {opcode}")


class Wire:
    """A tshark capture on segment `segment` while the command runs, and what tshark must
    decode in it: `client` and `server` are the names as tshark prints them, written out by
    hand (the first 15 bytes, those not printable as <xx>, then the 16th byte as <xx>)."""

    def __init__(self, segment, client, server):
        self.segment = segment
        self.client = client
        self.server = server

    def check(self, capture):
        problems = capture.problems()
        check(not problems, f"tshark: malformed packets or warnings:\n{problems}")
        address = lablib.client_address(self.segment)
        broadcast = lablib.broadcast_address(self.segment)
        frames = capture.frames(WIRE_FIELDS, f"(nbns || nbss) && ip.src == {address}")
        kinds = [wire_kind(frame) for frame in frames]
        # A run of registrations counts once: the three requests and the overwrite demand
        # that may follow them (both opcode 5).
        order = [kind for i, kind in enumerate(kinds)
                 if kind != "registration" or i == 0 or kinds[i - 1] != "registration"]
        check(order == WIRE_ORDER, f"order on the wire {kinds}, want {WIRE_ORDER}")

        def frames_of(kind):
            return [frame for frame, k in zip(frames, kinds) if k == kind]

        requests = [f for f in frames_of("registration") if on(f["nbns.flags.recdesired"])]
        check(len(requests) == 3, f"{len(requests)} registration requests, want 3")
        for kind in ("registration", "release"):
            for frame in frames_of(kind):
                check(names_in(frame, "nbns.name") == [self.client] * 2,
                      f"{kind} of {frame['nbns.name']!r}, want {self.client!r} in its "
                      f"question and its record")
                check(on(frame["nbns.nb_flags.group"]), f"{kind} without the group flag")
                check(frame["nbns.addr"] == address,
                      f"{kind} gives address {frame['nbns.addr']!r}, want {address}")
        for kind in ("registration", "query", "release"):
            for frame in frames_of(kind):
                check(frame["ip.dst"] == broadcast and on(frame["nbns.flags.broadcast"]),
                      f"{kind} to {frame['ip.dst']} is not a broadcast to {broadcast}")
        query = frames_of("query")[0]
        check(names_in(query, "nbns.name") == [self.server],
              f"query for {query['nbns.name']!r}, want {self.server!r}")
        request = frames_of("session request")[0]
        check((request["nbss.called_name"], request["nbss.calling_name"]) ==
              (self.server, self.client),
              f"session request to {request['nbss.called_name']!r} from "
              f"{request['nbss.calling_name']!r}, want {self.server!r} from {self.client!r}")
        station = lablib.station_address(self.segment)
        check(request["ip.dst"] == station,
              f"session request sent to {request['ip.dst']}, not to the station {station}")


def on_the_wire(case, wire):
    """The case as it is, its segment captured and read by tshark as well."""
    captured = copy.copy(case)
    captured.wire = wire
    return captured


CASES["wire_negative_0x83_on_lana1"] = on_the_wire(
    CASES["negative_0x83_on_lana1"],
    Wire(1, client="PLANT7.PELMOK.C<4c>", server="PLANT7.COMMAND.<53>"))
CASES["wire_positive_zero_padded"] = Case(
    1, [station(0, "--name", "AB.COMMAND.SRV", "--session", "positive")], "ab",
    "LANA=0 Ret.code=0\n" + absent(1) + not_found("AB"), 255,
    log=names_log("AB.PELMOK.CLT", "AB.COMMAND.SRV"),
    wire=Wire(0, client="AB.PELMOK.CLT<00><00><00>", server="AB.COMMAND.SRV<00><00>"))


# -- Samba as a real peer --------------------------------------------------------------------

def samba_conf(workdir, name, k, interface=None):
    dirs = {key: os.path.join(workdir, key) for key in
            ("lock", "state", "cache", "pid", "private", "ncalrpc", "binddns", "logs")}
    for path in dirs.values():
        os.makedirs(path, exist_ok=True)
    conf = os.path.join(workdir, "smb.conf")
    with open(conf, "w", encoding="ascii") as out:
        out.write(f"""[global]
  netbios name = {name}
  workgroup = TLVLAB
  server role = standalone server
  interfaces = {interface or f"seg{k}"}
  bind interfaces only = yes
  smb ports = 139
  disable netbios = no
  lock directory = {dirs['lock']}
  state directory = {dirs['state']}
  cache directory = {dirs['cache']}
  pid directory = {dirs['pid']}
  private dir = {dirs['private']}
  ncalrpc dir = {dirs['ncalrpc']}
  binddns dir = {dirs['binddns']}
  log file = {dirs['logs']}/log.%m
  load printers = no
  printcap name = /dev/null
  disable spoolss = yes
  local master = no
  domain master = no
  preferred master = no
""")
    return conf


def start_samba(lab, workdir, k, name, daemons):
    if not all(shutil.which(d) for d in daemons) or not shutil.which("nmblookup"):
        raise SkipCase("Samba is not installed")
    conf = samba_conf(workdir, name, k)
    lab.add_address(k, lablib.station_address(k))  # the segment has no station of ours
    for daemon in daemons:
        log = open(os.path.join(workdir, f"{daemon}.out"), "wb")
        # Each daemon in a session of its own (lab.spawn), foreground, no group of its own.
        lab.spawn(k, [daemon, "--foreground", "--no-process-group", f"--configfile={conf}"],
                  stdout=log, stderr=subprocess.STDOUT)
        log.close()
    # Ready when nmbd answers for its name (it registers it first) and smbd listens on 139.
    deadline = time.monotonic() + 60
    query = f"{name}#00"
    while True:
        answered = subprocess.run(
            lab.command_argv(["nmblookup", "-B", lablib.broadcast_address(k), query]),
            capture_output=True, check=False).returncode == 0
        listening = "smbd" not in daemons or ":008B 00000000:0000 0A" in lab.exec_output(
            lab.segment_ns[k], ["cat", "/proc/net/tcp"])
        if answered and listening:
            return
        if time.monotonic() > deadline:
            raise CaseFailure(f"Samba did not come up for {name}: see {workdir}")
        time.sleep(0.5)


class SkipCase(Exception):
    pass


CASES["samba_smbd_accepts"] = Case(
    1, [], "ABC", "LANA=0 Ret.code=0\n" + absent(1) + not_found("ABC"), 255,
    setup=lambda lab, work: start_samba(lab, work, 0, "ABC.COMMAND.SRV", ("nmbd", "smbd")))
CASES["samba_nmbd_defends_client_name"] = Case(
    1, [], "ABCD", "LANA=0 Ret.code=22\n" + absent(1) + not_found("ABCD"), 255,
    setup=lambda lab, work: start_samba(lab, work, 0, "ABCD.PELMOK.CLT", ("nmbd",)))


# -- the station itself, against Samba's own client side -------------------------------------
# The station is the peer that judges the command's NetBIOS layer; these checks make a real
# implementation judge the station.

def station_answers_nmblookup(lab, _workdir):
    result = lab.run(["nmblookup", "-B", "198.51.100.15", "ABC.COMMAND.SRV#00"], timeout=30)
    check(result.returncode == 0, f"nmblookup failed: {result.stdout!r} {result.stderr!r}")
    check(b"198.51.100.2 ABC.COMMAND.SRV<00>\n" in result.stdout,
          f"nmblookup did not get the station's answer: {result.stdout!r}")
    seen = station_saw(lab)
    check([r["answered"] for r in seen.of("query", "ABC.COMMAND.SRV")] == [True],
          "the station did not log one answered query")


def station_refuses_nmbd(lab, workdir):
    # nmbd on the client side registers its unique name ABCD.PELMOK.CLT<00> by broadcast;
    # the station's refusal must make it give the name up.
    if not shutil.which("nmbd"):
        raise SkipCase("Samba is not installed")
    conf = samba_conf(workdir, "ABCD.PELMOK.CLT", 0, interface="lana0")
    out = open(os.path.join(workdir, "nmbd.out"), "wb")
    lab.spawn_client(["nmbd", "--foreground", "--no-process-group", f"--configfile={conf}"],
                     stdout=out, stderr=subprocess.STDOUT)
    out.close()
    log = os.path.join(workdir, "logs", "log.nmbd")
    refused = "Failed to register my name ABCD.PELMOK.CLT<00>"
    deadline = time.monotonic() + 30
    while not (os.path.exists(log) and refused in open(log, errors="replace").read()):
        check(time.monotonic() < deadline, f"nmbd did not report the refusal: see {log}")
        time.sleep(0.2)
    seen = station_saw(lab)
    registrations = seen.of("registration", "ABCD.PELMOK.CLT")
    check(registrations and registrations[0]["answered"] and not registrations[0]["group"],
          "the station did not refuse nmbd's unique registration")


STATION_CHECKS = {
    "station_check_nmblookup": (
        [station(0, "--name", "ABC.COMMAND.SRV")], station_answers_nmblookup),
    "station_check_refuses_nmbd": (
        [station(0, "--defend", "ABCD.PELMOK.CLT")], station_refuses_nmbd),
}


def verdict(name, body):
    """Runs body(workdir) in a fresh work folder and turns its outcome into an exit status;
    the folder is kept when the case fails, for a look at the lab's logs."""
    workdir = tempfile.mkdtemp(prefix=f"tlv-e2e-{name}-")
    try:
        body(workdir)
    except SkipCase as skip:
        print(f"{name}: skipped: {skip}")
        return SKIP
    except CaseFailure as failure:
        print(f"{name}: FAIL: {failure}\n  (lab files kept in {workdir})")
        return 1
    print(f"{name}: ok")
    shutil.rmtree(workdir, ignore_errors=True)
    return 0


def run_station_check(name):
    stations, body = STATION_CHECKS[name]

    def check_station(workdir):
        with Lab(1, stations, logs=os.path.join(workdir, "logs")) as lab:
            body(lab, workdir)

    return verdict(name, check_station)


# -- running a case --------------------------------------------------------------------------

def run_command(lab, argv):
    """Runs the command with its output through pipes; returns (stdout, stderr, status,
    [(seconds since start, line)], seconds at the end)."""
    start = time.monotonic()
    process = lab.popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # A command that hangs is killed, which also ends the reading below.
    watchdog = threading.Timer(RUN_LIMIT_SECONDS, process.kill)
    watchdog.start()
    lines = []
    errors = []
    reader = threading.Thread(target=lambda: errors.append(process.stderr.read()), daemon=True)
    reader.start()
    for line in iter(process.stdout.readline, b""):
        lines.append((time.monotonic() - start, line))
    status = process.wait()
    watchdog.cancel()
    end = time.monotonic() - start
    if end >= RUN_LIMIT_SECONDS:
        raise CaseFailure(f"still running after {RUN_LIMIT_SECONDS} s, killed; it wrote "
                          f"{b''.join(line for _, line in lines)[:200]!r}")
    reader.join()
    return b"".join(line for _, line in lines), errors[0], status, lines, end


def capture_step(step, *args):
    try:
        return step(*args)
    except CaptureError as error:
        raise CaseFailure(f"capture: {error}") from None


def run_case(name, binary):
    case = CASES[name]

    def run(workdir):
        if case.wire and not shutil.which("tshark"):
            raise SkipCase("tshark is not installed")
        with Lab(case.adapters, case.stations, logs=os.path.join(workdir, "logs")) as lab:
            if case.setup:
                case.setup(lab, workdir)
            capture = None
            if case.wire:
                capture = Capture(lab, case.wire.segment,
                                  os.path.join(workdir, f"seg{case.wire.segment}.pcapng"))
                capture_step(capture.start)
            stdout, stderr, status, lines, end = run_command(
                lab, [binary, *(argument.encode("latin-1") for argument in case.arguments)])
            first = f", first line after {lines[0][0]:.2f} s" if lines else ""
            print(f"{name}: command ran {end:.2f} s{first}, exit status {status}")
            if capture:
                capture_step(capture.stop)
            problems = []
            want = case.stdout.encode("latin-1")
            if stdout != want:
                diff = difflib.unified_diff(want.decode("latin-1").splitlines(True),
                                            stdout.decode("latin-1").splitlines(True),
                                            "expected", "got", n=1)
                shown = list(diff)
                if len(shown) > 40:
                    shown = shown[:40] + [f"... ({len(shown) - 40} more diff lines)\n"]
                problems.append("standard output differs:\n" + "".join(shown))
            if stderr:
                problems.append(f"standard error not empty: {stderr!r}")
            if status != case.status:
                problems.append(f"exit status {status}, want {case.status}")
            for assertions in (lambda: case.timing and case.timing(lines, end),
                               lambda: case.log and case.log(lab),
                               lambda: case.wire and capture_step(case.wire.check, capture)):
                try:
                    assertions()
                except CaseFailure as failure:
                    problems.append(str(failure))
            if problems:
                raise CaseFailure("\n  " + "\n  ".join(problems))

    return verdict(name, run)


def main(argv):
    if argv[1:] == ["--list"]:
        print("\n".join([*CASES, *STATION_CHECKS]))
        return 0
    if len(argv) != 3 or argv[1] not in (*CASES, *STATION_CHECKS):
        print(f"usage: {argv[0]} CASE TOLVERIN_BINARY  (or --list)", file=sys.stderr)
        return 2
    if os.geteuid() != 0:
        print("lab cases need root (network namespaces): skipped")
        return SKIP
    # A test runner's SIGTERM or SIGINT must still tear the lab down.
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, lambda s, _f: sys.exit(128 + s))
    if argv[1] in STATION_CHECKS:
        return run_station_check(argv[1])
    return run_case(argv[1], os.path.abspath(argv[2]))


if __name__ == "__main__":
    sys.exit(main(sys.argv))
