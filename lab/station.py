#!/usr/bin/env python3
"""The test station: a scripted NetBIOS peer for the lab, written apart from the command's
own NetBIOS layer so that each checks the other.

It runs alone in a lab segment namespace (lab.py starts it there; never run it in the
host's namespace) and
- answers NAME QUERY REQUESTs for its --name names with a POSITIVE NAME QUERY RESPONSE to the
  asker's address and port, the question name repeated in the answer;
- answers a NAME REGISTRATION REQUEST (group or unique) for a --defend name with a NEGATIVE
  NAME REGISTRATION RESPONSE, RCODE 6 (ACT_ERR);
- answers SESSION REQUESTs on TCP 139 (or other --session ports) with a chosen outcome;
- logs each packet it received as one JSON object per line.

Names are 16 raw bytes, written as text with \\xHH escapes (a backslash as \\\\) and padded
with zero bytes up to 16: "ABC.COMMAND.SRV" is A B C . C O M M A N D . S R V 00.

Session outcomes (--session [PORT=]OUTCOME, default 139=negative:0x83):
  positive                 POSITIVE SESSION RESPONSE (0x82), connection kept until the peer
                           closes it
  negative[:CODE]          NEGATIVE SESSION RESPONSE (0x83) with CODE (default 0x83), then close
  retarget:ADDRESS:PORT    RETARGET SESSION RESPONSE (0x84), then close
  silence                  read the request, never answer, keep the connection
  close                    accept and close at once, reading nothing
  close-after-read         read the request, then close without answering
  garbage[:HEX]            send HEX (default 83000000: a negative answer without its code),
                           keep the connection
  stall                    accept and keep the connection, reading and sending nothing
  keepalive-forever        read the request, then a SESSION KEEP ALIVE every 100 ms until the
                           peer closes, never an answer
  trickle:HEX              read the request, then send HEX one byte at a time, one byte per
                           --trickle-seconds (default 1), over and over until the peer closes
  reset:HEX                read the request, send HEX, then reset the connection (RST)

Hostile name service (--hostile KIND, repeatable): to every NAME REGISTRATION REQUEST and NAME
QUERY REQUEST it receives, from whatever name, the station first sends spoiled answers, then
its ordinary reply if it has one. A spoiled answer to a query is a POSITIVE NAME QUERY
RESPONSE giving the --decoy-address (default: the broadcast address minus one, where nobody
listens), to a registration a NEGATIVE NAME REGISTRATION RESPONSE (RCODE 6): a client that
takes one for an answer calls nobody, or gives its name up. KIND is one of
  garbage        random datagrams of 0 to 700 bytes, half of them starting with the request's
                 transaction id and a response's flags word
  wrong-id       the answer with other transaction ids
  wrong-opcode   the answer with each other opcode
  wrong-name     the answer for other names: another last byte, another first byte, a
                 scope added, letters out of 'A'..'P'
  not-response   the answer with the response bit clear, and the request sent back as it came
  truncated      the answer cut at every length from 0 to one byte short
  oversize       the answer over 576 bytes: trailing bytes to 577, and address lists of 87
                 and 1000 entries
  pointer-self   the answer's name a compression pointer to itself
  pointer-forward  the answer's name a pointer to a copy of the name after the record
  pointer-chain  the answer's name a pointer to a pointer to the question's name
  flood          3000 answers with wrong transaction ids, then a pause of 50 ms
Each request's spoiled answers are logged as one record of kind "hostile".

Log records (keys): kind (query, registration, overwrite, release, session_request,
connection, other), time, source, port, and per kind: transaction_id, opcode, flags
(response, authoritative, truncated, recursion_desired, recursion_available, broadcast),
rcode, destination (the address the datagram was sent to), name_hex, name_text, scope,
group and nb_address (from the additional record of registrations, overwrites and
releases), answered; for sessions: local_port, called_hex, called_text, calling_hex,
calling_text, outcome; session_end (the peer closed a stalled, trickled or kept-alive
session: local_port, outcome); hostile (to a request: request_kind, transaction_id, what,
count, destination port); for anything unparsed: data_hex and reason.
"""

import argparse
import ipaddress
import itertools
import json
import os
import random
import select
import signal
import socket
import struct
import sys
import threading
import time

NAME_SERVICE_PORT = 137
SESSION_SERVICE_PORT = 139
NAME_SIZE = 16
ENCODED_LABEL_SIZE = 32
MAX_DATAGRAM = 576
MAX_SESSION_TRAILER = 1024
SESSION_READ_SECONDS = 10.0
KEEP_ALIVE_SECONDS = 0.1
SESSION_DRAIN_SECONDS = 2.0  # bound on waiting for session threads when the station stops
HOSTILE_KINDS = ("garbage", "wrong-id", "wrong-opcode", "wrong-name", "not-response",
                 "truncated", "oversize", "pointer-self", "pointer-forward", "pointer-chain",
                 "flood")
GARBAGE_DATAGRAMS = 50
FLOOD_DATAGRAMS = 3000
FLOOD_PAUSE_SECONDS = 0.05  # lets the client drain its socket before the real answer

# Name service header: flags word.
FLAG_RESPONSE = 0x8000
OPCODE_SHIFT = 11
FLAG_AA = 0x0400
FLAG_TC = 0x0200
FLAG_RD = 0x0100
FLAG_RA = 0x0080
FLAG_B = 0x0010
OPCODE_QUERY = 0x0
OPCODE_REGISTRATION = 0x5
OPCODE_RELEASE = 0x6
OPCODE_REFRESH = 0x8
RCODE_ACT_ERR = 0x6
RR_TYPE_NB = 0x0020
RR_CLASS_IN = 0x0001
NB_FLAG_GROUP = 0x8000
ANSWER_TTL = 300000

# Session service packet types.
SESSION_REQUEST = 0x81
POSITIVE_SESSION_RESPONSE = 0x82
NEGATIVE_SESSION_RESPONSE = 0x83
RETARGET_SESSION_RESPONSE = 0x84
SESSION_KEEP_ALIVE = 0x85


# -- names -------------------------------------------------------------------------------

def parse_name_argument(text):
    """A name argument (text with \\xHH escapes) as 16 raw bytes, zero-padded."""
    raw = bytearray()
    i = 0
    while i < len(text):
        if text[i] == "\\":
            if text[i + 1:i + 2] == "\\":
                raw.append(0x5C)
                i += 2
                continue
            if text[i + 1:i + 2] == "x" and len(text) >= i + 4:
                raw.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
            raise ValueError(f"bad escape in name {text!r}")
        raw += text[i].encode("latin-1")
        i += 1
    if len(raw) > NAME_SIZE:
        raise ValueError(f"name {text!r} is longer than {NAME_SIZE} bytes")
    return bytes(raw).ljust(NAME_SIZE, b"\0")


def name_text(raw):
    """16 raw bytes as text: printable ASCII as is, a backslash as \\\\, others as \\xHH."""
    out = []
    for b in raw:
        if b == 0x5C:
            out.append("\\\\")
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        else:
            out.append(f"\\x{b:02X}")
    return "".join(out)


def encode_name(raw):
    """First-level encoding with an empty scope: length 32, two letters a byte, a zero."""
    letters = bytearray()
    for b in raw:
        letters += bytes((0x41 + (b >> 4), 0x41 + (b & 0x0F)))
    return bytes((ENCODED_LABEL_SIZE,)) + bytes(letters) + b"\0"


def decode_label(letters):
    """32 letters 'A'..'P' back to 16 raw bytes, or None if any letter is out of range."""
    if len(letters) != ENCODED_LABEL_SIZE or any(not 0x41 <= c <= 0x50 for c in letters):
        return None
    return bytes(((letters[i] - 0x41) << 4) | (letters[i + 1] - 0x41)
                 for i in range(0, ENCODED_LABEL_SIZE, 2))


class Malformed(Exception):
    pass


class Reader:
    """Reads a received packet; every read is bounds-checked and raises Malformed past its end."""

    def __init__(self, data, offset=0):
        self.data = data
        self.offset = offset

    def take(self, count):
        if count < 0 or self.offset + count > len(self.data):
            raise Malformed(f"short packet: {count} bytes wanted at {self.offset}")
        chunk = self.data[self.offset:self.offset + count]
        self.offset += count
        return chunk

    def u8(self):
        return self.take(1)[0]

    def u16(self):
        return struct.unpack(">H", self.take(2))[0]

    def u32(self):
        return struct.unpack(">I", self.take(4))[0]

    def name(self):
        """A compressed-or-not NetBIOS name: (wire bytes as sent here, raw 16 bytes, scope)."""
        start = self.offset
        labels = []
        jumped = False
        cursor = self
        while True:
            length = cursor.u8()
            if length & 0xC0 == 0xC0:
                target = ((length & 0x3F) << 8) | cursor.u8()
                if jumped or target >= start:
                    raise Malformed("name pointer loops or points forwards")
                jumped = True
                wire_end = self.offset
                cursor = Reader(self.data, target)
                continue
            if length & 0xC0:
                raise Malformed(f"bad label length 0x{length:02x}")
            if length == 0:
                break
            labels.append(cursor.take(length))
        if not jumped:
            wire_end = self.offset
        if not labels:
            raise Malformed("empty name")
        raw = decode_label(labels[0])
        if raw is None:
            raise Malformed("first label is not a 32-letter encoded name")
        scope = ".".join(label.decode("latin-1") for label in labels[1:])
        return self.data[start:wire_end], raw, scope


# -- the station ----------------------------------------------------------------------------

class Station:
    def __init__(self, args):
        self.address = args.address
        self.broadcast = args.broadcast
        self.names = {parse_name_argument(n) for n in args.name}
        self.defended = {parse_name_argument(n) for n in args.defend}
        self.answer_addresses = args.answer_address or [args.address]
        self.keepalives = args.keepalives
        self.trickle_seconds = args.trickle_seconds
        self.hostile = args.hostile
        self.decoy = ipaddress.IPv4Address(args.decoy_address or
                                           ipaddress.IPv4Address(args.broadcast) - 1)
        self.random = random.Random(args.seed)  # the same garbage on every run
        self.held = []  # stalled connections, kept open until the station stops
        self.session_threads = []  # joined on stop, so that their last records are logged
        self.sessions = {}
        for spec in args.session or [f"{SESSION_SERVICE_PORT}=negative:0x83"]:
            port, outcome = parse_session(spec)
            self.sessions[port] = outcome
        self.log_file = open(args.log, "a", encoding="utf-8")
        self.log_lock = threading.Lock()
        self.udp = []
        self.tcp = {}

    def log(self, record):
        record = {"time": round(time.time(), 3), **record}
        with self.log_lock:
            self.log_file.write(json.dumps(record, sort_keys=True) + "\n")
            self.log_file.flush()

    def open_sockets(self):
        unicast = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        unicast.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        unicast.bind((self.address, NAME_SERVICE_PORT))
        self.udp.append((unicast, self.address))
        # Broadcasts reach only sockets bound to the broadcast address (or to any address);
        # SO_REUSEADDR lets every station of the segment have one.
        listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((self.broadcast, NAME_SERVICE_PORT))
        self.udp.append((listener, self.broadcast))
        for port in self.sessions:
            server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            server.bind((self.address, port))
            server.listen(16)
            self.tcp[server] = port

    def serve(self, stop):
        sockets = [s for s, _ in self.udp] + list(self.tcp)
        destinations = dict(self.udp)
        while not stop.is_set():
            readable, _, _ = select.select(sockets, [], [], 0.2)
            for sock in readable:
                if sock in self.tcp:
                    self.accept(sock)
                else:
                    self.receive_datagram(sock, destinations[sock])

    def drain(self):
        """Handles the datagrams already received, without waiting for more, and gives the
        session threads a moment to log how their sessions ended: a client that has just
        exited closed its connections, but a thread may not have run since."""
        deadline = time.monotonic() + SESSION_DRAIN_SECONDS
        for thread in self.session_threads:
            thread.join(max(0.0, deadline - time.monotonic()))
        for sock, destination in self.udp:
            sock.setblocking(False)
            while True:
                try:
                    self.receive_datagram(sock, destination)
                except BlockingIOError:
                    break

    # -- name service ----------------------------------------------------------------------

    def receive_datagram(self, sock, destination):
        data, (source, port) = sock.recvfrom(65536)
        base = {"source": source, "port": port, "destination": destination}
        if len(data) > MAX_DATAGRAM:
            self.log({"kind": "other", **base, "reason": "datagram over 576 bytes",
                      "data_hex": data.hex()})
            return
        try:
            record, reply = self.name_service(data)
        except Malformed as error:
            self.log({"kind": "other", **base, "reason": str(error), "data_hex": data.hex()})
            return
        record.update(base)
        record["answered"] = reply is not None
        self.log(record)
        if self.hostile and record["kind"] in ("query", "registration") and not record["scope"]:
            self.harass(record, data, (source, port))
        if reply is not None:
            self.udp[0][0].sendto(reply, (source, port))

    def harass(self, request, data, asker):
        """Sends the --hostile datagrams for one request to the asker."""
        if request["kind"] == "query":
            flags = FLAG_RESPONSE | FLAG_AA | FLAG_RD | (OPCODE_QUERY << OPCODE_SHIFT)
            ttl, entry = ANSWER_TTL, struct.pack(">H", 0) + self.decoy.packed
        else:
            flags = (FLAG_RESPONSE | (OPCODE_REGISTRATION << OPCODE_SHIFT) | FLAG_AA | FLAG_RD |
                     FLAG_RA | RCODE_ACT_ERR)
            ttl = 0
            entry = struct.pack(">H", NB_FLAG_GROUP if request["group"] else 0) + \
                ipaddress.IPv4Address(request["nb_address"]).packed
        datagrams = []
        for kind in self.hostile:
            datagrams += spoiled_answers(kind, self.random, data, request["transaction_id"],
                                         bytes.fromhex(request["name_hex"]), flags, ttl, entry)
        sent = 0
        for datagram in datagrams:
            try:
                self.udp[0][0].sendto(datagram, asker)
                sent += 1
            except OSError:
                pass
        self.log({"kind": "hostile", "request_kind": request["kind"],
                  "transaction_id": request["transaction_id"], "what": ",".join(self.hostile),
                  "count": sent, "port": asker[1]})
        if "flood" in self.hostile:
            time.sleep(FLOOD_PAUSE_SECONDS)

    def name_service(self, data):
        """Decodes one request; returns (log record, reply datagram or None)."""
        reader = Reader(data)
        transaction_id = reader.u16()
        flags = reader.u16()
        qdcount, ancount, nscount, arcount = (reader.u16() for _ in range(4))
        opcode = (flags >> OPCODE_SHIFT) & 0xF
        record = {
            "transaction_id": transaction_id,
            "opcode": opcode,
            "rcode": flags & 0xF,
            "flags": {
                "response": bool(flags & FLAG_RESPONSE),
                "authoritative": bool(flags & FLAG_AA),
                "truncated": bool(flags & FLAG_TC),
                "recursion_desired": bool(flags & FLAG_RD),
                "recursion_available": bool(flags & FLAG_RA),
                "broadcast": bool(flags & FLAG_B),
            },
            "counts": [qdcount, ancount, nscount, arcount],
        }
        if flags & FLAG_RESPONSE or qdcount != 1:
            record.update(kind="other", reason="not a request with one question",
                          data_hex=data.hex())
            return record, None
        wire_name, raw, scope = reader.name()
        question_type = reader.u16()
        question_class = reader.u16()
        record.update(name_hex=raw.hex(), name_text=name_text(raw), scope=scope,
                      question_type=question_type, question_class=question_class)

        if opcode == OPCODE_QUERY:
            record["kind"] = "query"
            if raw in self.names and not scope and question_type == RR_TYPE_NB:
                return record, self.positive_query_response(transaction_id, flags, wire_name)
            return record, None

        if opcode in (OPCODE_REGISTRATION, OPCODE_RELEASE, OPCODE_REFRESH):
            if arcount < 1:
                raise Malformed("registration or release without its additional record")
            reader.name()
            rr_type, rr_class, _ttl, rdlength = reader.u16(), reader.u16(), reader.u32(), \
                reader.u16()
            rdata = reader.take(rdlength)
            if rr_type != RR_TYPE_NB or rr_class != RR_CLASS_IN or rdlength < 6:
                raise Malformed("additional record is not an NB record")
            nb_flags = struct.unpack(">H", rdata[:2])[0]
            record.update(group=bool(nb_flags & NB_FLAG_GROUP),
                          nb_address=str(ipaddress.IPv4Address(rdata[2:6])))
            if opcode == OPCODE_RELEASE:
                record["kind"] = "release"
                return record, None
            if opcode == OPCODE_REFRESH:
                record["kind"] = "other"
                record["reason"] = "refresh"
                return record, None
            if not flags & FLAG_RD:
                record["kind"] = "overwrite"
                return record, None
            record["kind"] = "registration"
            if raw in self.defended and not scope:
                return record, self.negative_registration_response(transaction_id, wire_name,
                                                                    rdata[:6])
            return record, None

        record.update(kind="other", reason=f"opcode {opcode}", data_hex=data.hex())
        return record, None

    def positive_query_response(self, transaction_id, request_flags, wire_name):
        flags = FLAG_RESPONSE | FLAG_AA | (request_flags & FLAG_RD)
        rdata = b"".join(struct.pack(">H", 0) + ipaddress.IPv4Address(a).packed
                         for a in self.answer_addresses)
        return (struct.pack(">HHHHHH", transaction_id, flags, 0, 1, 0, 0) + wire_name +
                struct.pack(">HHIH", RR_TYPE_NB, RR_CLASS_IN, ANSWER_TTL, len(rdata)) + rdata)

    def negative_registration_response(self, transaction_id, wire_name, request_rdata):
        flags = (FLAG_RESPONSE | (OPCODE_REGISTRATION << OPCODE_SHIFT) | FLAG_AA | FLAG_RD |
                 FLAG_RA | RCODE_ACT_ERR)
        return (struct.pack(">HHHHHH", transaction_id, flags, 0, 1, 0, 0) + wire_name +
                struct.pack(">HHIH", RR_TYPE_NB, RR_CLASS_IN, 0, 6) + request_rdata)

    # -- session service -------------------------------------------------------------------

    def accept(self, server):
        conn, (source, port) = server.accept()
        local_port = self.tcp[server]
        outcome = self.sessions[local_port]
        self.log({"kind": "connection", "source": source, "port": port,
                  "local_port": local_port})
        if outcome[0] == "close":
            conn.close()
            return
        if outcome[0] == "stall":
            self.held.append(conn)
            return
        thread = threading.Thread(target=self.session,
                                  args=(conn, source, port, local_port, outcome), daemon=True)
        thread.start()
        self.session_threads.append(thread)

    def session(self, conn, source, port, local_port, outcome):
        base = {"source": source, "port": port, "local_port": local_port}
        try:
            conn.settimeout(SESSION_READ_SECONDS)
            header = read_exactly(conn, 4)
            if header is None:
                self.log({"kind": "other", **base, "reason": "closed before a request"})
                return
            packet_type, packet_flags, length = struct.unpack(">BBH", header)
            length |= (packet_flags & 0x01) << 16
            if length > MAX_SESSION_TRAILER:
                self.log({"kind": "other", **base, "reason": "session packet too long",
                          "data_hex": header.hex()})
                return
            trailer = read_exactly(conn, length)
            if trailer is None:
                self.log({"kind": "other", **base, "reason": "closed inside a packet",
                          "data_hex": header.hex()})
                return
            self.log_session_request(base, packet_type, header + trailer, outcome)

            kind = outcome[0]
            for _ in range(self.keepalives):
                conn.sendall(bytes((SESSION_KEEP_ALIVE, 0, 0, 0)))
                time.sleep(0.1)
            if kind == "positive":
                conn.sendall(bytes((POSITIVE_SESSION_RESPONSE, 0, 0, 0)))
                wait_for_close(conn)
            elif kind == "negative":
                conn.sendall(bytes((NEGATIVE_SESSION_RESPONSE, 0, 0, 1, outcome[1])))
            elif kind == "retarget":
                conn.sendall(bytes((RETARGET_SESSION_RESPONSE, 0, 0, 6)) +
                             ipaddress.IPv4Address(outcome[1]).packed +
                             struct.pack(">H", outcome[2]))
            elif kind == "garbage":
                conn.sendall(outcome[1])
                wait_for_close(conn)
            elif kind == "silence":
                wait_for_close(conn)
            elif kind == "keepalive-forever":
                self.send_until_closed(conn, base, [bytes((SESSION_KEEP_ALIVE, 0, 0, 0))],
                                       KEEP_ALIVE_SECONDS)
            elif kind == "trickle":
                conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                self.send_until_closed(conn, base, [bytes((b,)) for b in outcome[1]],
                                       self.trickle_seconds)
            elif kind == "reset":
                conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                conn.sendall(outcome[1])
                time.sleep(0.1)  # the bytes on the wire before the reset
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            # close-after-read: nothing to send
        except OSError as error:
            self.log({"kind": "other", **base, "reason": f"session: {error}"})
        finally:
            conn.close()

    def send_until_closed(self, conn, base, pieces, interval):
        """Sends the pieces in turn, `interval` seconds apart, over and over, until the peer
        closes the connection; logs when it did."""
        try:
            for piece in itertools.cycle(pieces):
                conn.sendall(piece)
                if peer_closed_within(conn, interval):
                    break
        except OSError:
            pass  # the peer closed it while a piece was on its way
        self.log({"kind": "session_end", **base})

    def log_session_request(self, base, packet_type, packet, outcome):
        record = {**base, "outcome": ":".join(str(p) if not isinstance(p, bytes) else p.hex()
                                              for p in outcome)}
        if packet_type != SESSION_REQUEST:
            self.log({"kind": "other", **record, "reason": f"session packet 0x{packet_type:02x}",
                      "data_hex": packet.hex()})
            return
        try:
            reader = Reader(packet, 4)
            _, called, called_scope = reader.name()
            _, calling, calling_scope = reader.name()
            if reader.offset != len(packet):
                raise Malformed("bytes after the calling name")
        except Malformed as error:
            self.log({"kind": "other", **record, "reason": str(error), "data_hex": packet.hex()})
            return
        self.log({"kind": "session_request", **record,
                  "called_hex": called.hex(), "called_text": name_text(called),
                  "called_scope": called_scope,
                  "calling_hex": calling.hex(), "calling_text": name_text(calling),
                  "calling_scope": calling_scope})


def read_exactly(conn, count):
    data = b""
    while len(data) < count:
        chunk = conn.recv(count - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def peer_closed_within(conn, seconds):
    """Waits up to `seconds`; true if the peer closed the connection meanwhile (whatever it
    sent is read and dropped)."""
    deadline = time.monotonic() + seconds
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        readable, _, _ = select.select([conn], [], [], left)
        if readable:
            try:
                if not conn.recv(4096):
                    return True
            except OSError:
                return True


def spoiled_answers(kind, rng, request, trn_id, raw, flags, ttl, entry):
    """The datagrams of one --hostile KIND for a request: spoiled forms of the answer with
    header flags `flags`, the name `raw` and the address entry `entry`."""
    name = encode_name(raw)

    def answer(trn=trn_id, answer_flags=flags, answer_name=name, rdata=entry, questions=b"",
               qdcount=0, trailer=b""):
        return (struct.pack(">HHHHHH", trn, answer_flags, qdcount, 1, 0, 0) + questions +
                answer_name + struct.pack(">HHIH", RR_TYPE_NB, RR_CLASS_IN, ttl, len(rdata)) +
                rdata + trailer)

    def pointer(offset):
        return struct.pack(">H", 0xC000 | offset)

    question_fields = struct.pack(">HH", RR_TYPE_NB, RR_CLASS_IN)
    header = 12
    if kind == "garbage":
        out = []
        for i in range(GARBAGE_DATAGRAMS):
            body = rng.randbytes(rng.randrange(0, 701))
            if i % 2:
                body = struct.pack(">HH", trn_id, flags) + body[4:]
            out.append(body)
        return out
    if kind == "wrong-id":
        return [answer(trn=(trn_id + d) & 0xFFFF) for d in (1, 0xFFFF, 0x8000, 0x0100)]
    if kind == "wrong-opcode":
        opcode = (flags >> OPCODE_SHIFT) & 0xF
        return [answer(answer_flags=(flags & ~(0xF << OPCODE_SHIFT)) | (other << OPCODE_SHIFT))
                for other in range(16) if other != opcode]
    if kind == "wrong-name":
        lower_case = bytes((ENCODED_LABEL_SIZE,)) + name[1:-1].lower() + b"\0"
        return [answer(answer_name=encode_name(raw[:15] + bytes((raw[15] ^ 0x01,)))),
                answer(answer_name=encode_name(bytes((raw[0] ^ 0x20,)) + raw[1:])),
                answer(answer_name=name[:-1] + b"\x04EVIL\0"),
                answer(answer_name=lower_case)]
    if kind == "not-response":
        return [answer(answer_flags=flags & ~FLAG_RESPONSE), request]
    if kind == "truncated":
        whole = answer()
        return [whole[:length] for length in range(len(whole))]
    if kind == "oversize":
        one_over = answer()
        return [answer(trailer=bytes(MAX_DATAGRAM + 1 - len(one_over))),
                answer(rdata=entry * 87), answer(rdata=entry * 1000)]
    if kind == "pointer-self":
        return [answer(answer_name=pointer(header))]
    if kind == "pointer-forward":
        after_record = header + 2 + 10 + len(entry)
        return [answer(answer_name=pointer(after_record), trailer=name)]
    if kind == "pointer-chain":
        # Question 1 holds the name at 12, question 2 points to it, the answer points to
        # question 2's pointer.
        second = header + len(name) + len(question_fields)
        return [answer(questions=name + question_fields + pointer(header) + question_fields,
                       qdcount=2, answer_name=pointer(second))]
    if kind == "flood":
        return [answer(trn=(trn_id + 1 + i) & 0xFFFF) for i in range(FLOOD_DATAGRAMS)]
    raise ValueError(f"unknown hostile kind {kind!r}")


def wait_for_close(conn):
    """Keeps the connection until the peer closes it (the station's stop ends it too)."""
    conn.settimeout(None)
    while conn.recv(4096):
        pass


def parse_session(spec):
    port_text, sep, outcome = spec.partition("=")
    if not sep:
        port_text, outcome = str(SESSION_SERVICE_PORT), spec
    port = int(port_text)
    kind, _, rest = outcome.partition(":")
    if kind in ("positive", "silence", "close", "close-after-read", "stall",
                "keepalive-forever") and not rest:
        return port, (kind,)
    if kind == "trickle" and rest:
        return port, (kind, bytes.fromhex(rest))
    if kind == "reset":
        return port, (kind, bytes.fromhex(rest))
    if kind == "negative":
        return port, (kind, int(rest or "0x83", 0))
    if kind == "retarget":
        address, _, target_port = rest.rpartition(":")
        ipaddress.IPv4Address(address)
        return port, (kind, address, int(target_port))
    if kind == "garbage":
        return port, (kind, bytes.fromhex(rest or "83000000"))
    raise ValueError(f"unknown session outcome {outcome!r}")


def main():
    parser = argparse.ArgumentParser(description="Scripted NetBIOS peer for the lab.")
    parser.add_argument("--address", required=True, help="the station's own address")
    parser.add_argument("--broadcast", required=True, help="its segment's broadcast address")
    parser.add_argument("--log", required=True, help="JSON lines log of received packets")
    parser.add_argument("--ready-fd", type=int, help="write 'ready' here once listening")
    parser.add_argument("--name", action="append", default=[],
                        help="answer queries for this name (repeatable)")
    parser.add_argument("--answer-address", action="append",
                        help="address(es) to give in query answers (default: --address)")
    parser.add_argument("--defend", action="append", default=[],
                        help="refuse registrations of this name (repeatable)")
    parser.add_argument("--session", action="append",
                        help="[PORT=]OUTCOME for session requests (default 139=negative:0x83)")
    parser.add_argument("--keepalives", type=int, default=0,
                        help="SESSION KEEP ALIVEs to send before the session outcome")
    parser.add_argument("--trickle-seconds", type=float, default=1.0,
                        help="seconds between the bytes of a trickle outcome (1)")
    parser.add_argument("--hostile", action="append", default=[], choices=HOSTILE_KINDS,
                        help="spoiled answers to send before any reply (repeatable)")
    parser.add_argument("--decoy-address", help="the address that spoiled query answers give "
                        "(default: the broadcast address minus one)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the garbage (1)")
    args = parser.parse_args()
    try:
        station = Station(args)
    except ValueError as error:
        parser.error(str(error))

    stop = threading.Event()

    def on_signal(_signum, _frame):
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    station.open_sockets()
    if args.ready_fd is not None:
        os.write(args.ready_fd, b"ready\n")
        os.close(args.ready_fd)
    else:
        print("ready", flush=True)
    station.serve(stop)
    station.drain()
    return 0


if __name__ == "__main__":
    sys.exit(main())
