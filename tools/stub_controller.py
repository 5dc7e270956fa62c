#!/usr/bin/env python3
"""A stand-in Orvantis Controller: HTTPS, one endpoint, canned JSON replies.

Used by the black-box tests, the benchmarks and the fault tests, and by
operators who write check files without a controller at hand.

    stub_controller.py --replies DIR [--rules FILE] [--host H] [--port N]
                       [--log FILE] [--lifetime SECONDS] [--cert-dir DIR]
                       [--username U] [--password P] [--require-cid]
                       [--plain-http] [--replies-per-connection N]

Once listening it prints "listening on HOST:PORT" on standard output (port 0
picks a free port), then serves until --lifetime seconds have passed or it
gets SIGTERM or SIGINT. It speaks TLS with a self-signed certificate, made
with the openssl command in a temporary directory removed at exit, or kept
in --cert-dir (cert.pem and key.pem, made there when missing). With
--plain-http it speaks plain HTTP on the port instead, as a controller set up
wrongly would: a plain request is served as usual, while a TLS handshake is
answered with a plain "HTTP/1.1 400 Bad Request" and the connection closed,
and nothing is logged for it (no request was ever read).

Connections are kept open between requests (HTTP/1.1 keep-alive) unless the
client asks for "Connection: close", or the reply comes from a rule with
"headers" or a fault, or is an error about the request's framing: those
close it, as every reply did before; a kept connection idle for 60 s is
closed. With --replies-per-connection N, the Nth reply on a connection says
"Connection: close" and the connection closes after it, as a server's
limit on requests per connection does.

Every request is POSTed to /v1/api as a form; the field "action" picks the
reply:

  DIR/ACTION@FIELD=VALUE.json  when the request has FIELD with VALUE (the
                               first such field in request order wins)
  DIR/ACTION.json              otherwise
  status 404 {"error": "unknown action"}  when neither file exists.

ACTION, FIELD and VALUE are percent-encoded in file names as
urllib.parse.quote(text, safe="") does, so "a b/c" is "a%20b%2Fc". Reply
files are sent as they are (valid JSON or not), as application/json.

The action "login" checks --username and --password when they are given
(a mismatch answers {"error": "bad credentials"}); otherwise it answers its
reply file, or when there is none {"CID": "cid-N"} with a new N each time.
With --require-cid, other actions must carry a field CID handed out by this
stub, or get status 401 {"error": "invalid CID"}.

A rules file (JSON) overrides replies:

  {"rules": [{"action": "login", "status": 401},
             {"action": "show", "fields": {"name": "x"}, "nth": [2, 3],
              "body": "<html></html>", "content_type": "text/html"},
             {"fault": "drop_mid_body"}]}

The first rule that matches a request applies. Matching (all optional):
"action"; "fields", a map of field name to value that the request must all
carry; "nth", a number or list of numbers counting the requests of that
action from 1. Effect: "status" (default 200); a body from "body" or "raw"
(text), "body_base64" (bytes), "json" (any value, serialised), "generate"
or "file", else the normal reply; "content_type"; "headers", a map or list
of [name, value] that adds headers or replaces the stub's own
(Content-Length included); "hold_until", a path: the answer waits until that
path exists (at most --lifetime), so a test decides when a request is
answered; "delay", seconds (a number, fractions allowed) the answer waits
before its first byte, as a slow controller would; "fault", one of the
names in FAULTS below, and "body_bytes" with the fault head_then_hang.

{"echo": SPELLING} answers with the request's own form body, as login pages
and error replies of appliances do: as an HTML page "<p>TEXT</p>" when the
rule's "content_type" names html, else as the JSON {"request": TEXT}
(json.dumps). SPELLING is one of
  form        the body as received (HTML-escaped in a page)
  form_lower  the same with its percent escapes in lower case
  decoded     the fields decoded, "name=value&name=value"
  slashes     decoded, and in JSON every "/" written as backslash and slash
  decimal     decoded, in a page every character but ASCII letters and
              digits as a decimal character reference ("&#33;")
  hex         the same with hexadecimal references ("&#x21;")

{"generate": "list", "bytes": N} streams a body of at most N bytes that is
never held in memory: the JSON list of the texts "item-000000000",
"item-000000001", ... (16 bytes each with their quotes, one comma between),
n = max(1, (N - 1) // 17) of them, 17 * n + 1 bytes in all. It takes no
fault.

{"file": PATH} streams the file's bytes as they are, read in pieces while
they are sent, so a reply of hundreds of MB starts at once and is never held
in memory whole (the benchmarks serve their generated replies so). It takes
no fault.

Faults (FAULTS below):

  drop_before_status  closes the connection without a byte of reply
  drop_mid_body       the head with the full length, half the body, close
  hang                never answers, until the stub stops
  close_delimited     no Content-Length: the body ends where the connection
                      closes
  chunked             Transfer-Encoding: chunked, the body in 7 chunks
                      (fewer when it is shorter than 7 bytes)
  trickle             the head, then the body in 20 pieces 50 ms apart
  head_then_hang      the head with the full length and the first
                      "body_bytes" bytes of the body (default 0), then
                      silence until the stub stops
  drop_after_read     resets the connection (TCP RST) without a byte of
                      reply, the request read and logged: a controller that
                      acted on it, then lost the connection

Every request is appended to --log as one JSON line, before it is answered:
{"n", "method", "path", "content_type", "headers", "fields", "action",
"body", "connection", "tls_resumed"}, with "fields" the [name, value] pairs
in order, "body" the raw body as text, "connection" the number of the
connection it came on (counted from 1 as they are accepted) and
"tls_resumed" whether that connection's TLS handshake resumed an earlier
session (null with --plain-http).
"""

import argparse
import base64
import html
import json
import os
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

API_PATH = "/v1/api"
MAX_BODY = 64 << 20  # bytes of a request body
IO_TIMEOUT = 60.0  # seconds a client may take to handshake or send
MAX_CONNECTIONS = 128  # connections served at once; more are closed
DEFAULT_LIFETIME = 3600.0


class Reply:
    """One answer, built completely before anything is sent."""

    def __init__(self, status=200, body=b"", content_type="application/json"):
        self.status = status
        self.body = body
        self.headers = [("Content-Type", content_type)]
        # For head_then_hang: bytes of the body sent before the silence.
        self.body_bytes = 0
        # (length, function returning an iterator of byte chunks) for a body
        # made while it is sent; body is then empty.
        self.stream = None
        # Headers from a rule may frame the reply wrongly (a Content-Length
        # that lies): the connection ends after it.
        self.closes = False

    def set_header(self, name, value):
        self.headers = [(n, v) for n, v in self.headers
                        if n.lower() != name.lower()]
        self.headers.append((name, str(value)))

    def head(self, content_length=None, keep_alive=False):
        if content_length is None:
            content_length = len(self.body)
        try:
            reason = HTTPStatus(self.status).phrase
        except ValueError:
            reason = "Status"
        names = {n.lower() for n, _ in self.headers}
        lines = [f"HTTP/1.1 {self.status} {reason}"]
        lines += [f"{n}: {v}" for n, v in self.headers]
        if "content-length" not in names:
            lines.append(f"Content-Length: {content_length}")
        if "connection" not in names and not keep_alive:
            lines.append("Connection: close")
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1", "replace")


def json_reply(value, status=200):
    return Reply(status, json.dumps(value).encode())


GENERATED_ITEM = 17  # bytes per generated list item: '"item-000000000",'
GENERATE_CHUNK = 1 << 20  # bytes per write of a generated body


def generated_list(target_bytes):
    """(length, chunk iterator factory) for {"generate": "list"}."""
    count = max(1, (target_bytes - 1) // GENERATED_ITEM)
    length = GENERATED_ITEM * count + 1

    def chunks():
        per_chunk = GENERATE_CHUNK // GENERATED_ITEM
        yield b"["
        for start in range(0, count, per_chunk):
            stop = min(count, start + per_chunk)
            text = ",".join('"item-%09d"' % i for i in range(start, stop))
            yield (text + ("," if stop < count else "]")).encode()

    return length, chunks


def file_stream(path):
    """(length, chunk iterator factory) for {"file": PATH}."""
    length = os.path.getsize(path)

    def chunks():
        with open(path, "rb") as f:
            left = length
            while left > 0:
                piece = f.read(min(GENERATE_CHUNK, left))
                if not piece:
                    raise OSError(f"{path} shrank while it was sent")
                left -= len(piece)
                yield piece

    return length, chunks


# Faults: each takes the handler and the reply that would have been sent and
# does the damage itself. Add new ones here and describe them in the module
# documentation.

def fault_drop_before_status(handler, reply):
    """Closes the connection without a byte of reply."""


def fault_drop_mid_body(handler, reply):
    """Sends the head with the full length, half the body, then closes."""
    length = max(len(reply.body), 1)
    handler.send_bytes(reply.head(length) + reply.body[:len(reply.body) // 2])


def fault_hang(handler, reply):
    """Keeps the connection open and never answers, until the stub stops."""
    handler.server.stopping.wait()


def fault_close_delimited(handler, reply):
    """Sends the head without Content-Length and the body, then closes: the
    body ends where the connection does."""
    head = reply.head().decode("latin-1").split("\r\n")
    head = [line for line in head
            if not line.lower().startswith("content-length:")]
    handler.send_bytes("\r\n".join(head).encode("latin-1") + reply.body)


def fault_chunked(handler, reply):
    """Sends the body with Transfer-Encoding: chunked, in 7 chunks."""
    head = reply.head().decode("latin-1").split("\r\n")
    head = [line for line in head
            if not line.lower().startswith("content-length:")]
    head.insert(1, "Transfer-Encoding: chunked")
    body = reply.body
    step = max(1, -(-len(body) // 7))
    data = "\r\n".join(head).encode("latin-1")
    for start in range(0, len(body), step):
        piece = body[start:start + step]
        data += b"%x\r\n" % len(piece) + piece + b"\r\n"
    handler.send_bytes(data + b"0\r\n\r\n")


TRICKLE_PIECES = 20
TRICKLE_INTERVAL = 0.05  # seconds between pieces


def fault_trickle(handler, reply):
    """Sends the head, then the body in 20 pieces 50 ms apart."""
    handler.send_bytes(reply.head())
    body = reply.body
    step = max(1, -(-len(body) // TRICKLE_PIECES))
    for start in range(0, len(body), step):
        time.sleep(TRICKLE_INTERVAL)
        handler.send_bytes(body[start:start + step])


def fault_head_then_hang(handler, reply):
    """Sends the head with the full length and the first body_bytes bytes of
    the body, then keeps the connection open and silent until the stub
    stops."""
    handler.send_bytes(reply.head() + reply.body[:reply.body_bytes])
    handler.server.stopping.wait()


def fault_drop_after_read(handler, reply):
    """Resets the connection without a byte of reply: the request was read
    and logged, as if acted on."""
    handler.reset = True


FAULTS = {
    "drop_before_status": fault_drop_before_status,
    "drop_after_read": fault_drop_after_read,
    "drop_mid_body": fault_drop_mid_body,
    "hang": fault_hang,
    "close_delimited": fault_close_delimited,
    "chunked": fault_chunked,
    "trickle": fault_trickle,
    "head_then_hang": fault_head_then_hang,
}


ECHO_SPELLINGS = ("form", "form_lower", "decoded", "slashes", "decimal",
                  "hex")


def echo_body(spelling, body, fields, html_page):
    """The reply of {"echo": spelling} to a request with this form body."""
    if spelling == "form":
        text = body
    elif spelling == "form_lower":
        text = re.sub(r"%[0-9A-F]{2}", lambda m: m.group(0).lower(), body)
    else:
        text = "&".join(f"{n}={v}" for n, v in fields)
    if not html_page:
        page = json.dumps({"request": text})
        return page.replace("/", "\\/") if spelling == "slashes" else page
    if spelling in ("decimal", "hex"):
        form = "&#{};" if spelling == "decimal" else "&#x{:x};"
        text = "".join(c if c.isascii() and c.isalnum() else
                       form.format(ord(c)) for c in text)
    else:
        text = html.escape(text)
    return "<p>" + text + "</p>"


def file_name(action, field=None, value=None):
    name = urllib.parse.quote(action, safe="")
    if field is not None:
        name += ("@" + urllib.parse.quote(field, safe="") + "=" +
                 urllib.parse.quote(value, safe=""))
    return name + ".json"


class Controller:
    """What the stub answers; shared by all connections."""

    def __init__(self, replies_dir, rules, log_path, username, password,
                 require_cid):
        self.replies_dir = replies_dir
        self.rules = rules
        self.username = username
        self.password = password
        self.require_cid = require_cid
        self.lock = threading.Lock()
        self.log = open(log_path, "a", encoding="utf-8") if log_path else None
        self.sequence = 0
        self.per_action = {}
        self.logins = 0
        self.connections = 0
        self.cids = set()
        self.index = frozenset()
        self.index_stamp = None

    def close(self):
        if self.log:
            self.log.close()

    def next_connection(self):
        with self.lock:
            self.connections += 1
            return self.connections

    def record(self, method, path, headers, body, connection=None,
               tls_resumed=None):
        """Logs a request; returns (fields, action, count of this action)."""
        text = body.decode("utf-8", "replace")
        try:
            fields = urllib.parse.parse_qsl(text, keep_blank_values=True,
                                            max_num_fields=1 << 20)
        except ValueError:
            fields = []
        action = next((v for n, v in fields if n == "action"), None)
        with self.lock:
            self.sequence += 1
            count = self.per_action.get(action, 0) + 1
            self.per_action[action] = count
            if self.log:
                self.log.write(json.dumps({
                    "n": self.sequence, "method": method, "path": path,
                    "content_type": headers.get("Content-Type"),
                    "headers": [[n, v] for n, v in headers.items()],
                    "fields": [[n, v] for n, v in fields],
                    "action": action, "body": text,
                    "connection": connection,
                    "tls_resumed": tls_resumed}) + "\n")
                self.log.flush()
        return fields, action, count

    def answer(self, method, path, fields, action, count, body=""):
        """Returns (reply, fault function or None, the rule that applies or
        an empty one)."""
        rule = self.find_rule(action, fields, count)
        if rule is not None:
            reply, fault = self.apply_rule(rule, method, path, fields, action,
                                           body)
            return reply, fault, rule
        return self.normal_reply(method, path, fields, action), None, {}

    def find_rule(self, action, fields, count):
        present = set((n, v) for n, v in fields)
        for rule in self.rules:
            if "action" in rule and rule["action"] != action:
                continue
            wanted = rule.get("fields", {})
            if any((n, v) not in present for n, v in wanted.items()):
                continue
            nth = rule.get("nth")
            if nth is not None and count not in (
                    nth if isinstance(nth, list) else [nth]):
                continue
            return rule
        return None

    def apply_rule(self, rule, method, path, fields, action, body=""):
        if "echo" in rule:
            reply = Reply(body=echo_body(
                rule["echo"], body, fields,
                "html" in rule.get("content_type", "")).encode())
        elif "body" in rule or "raw" in rule:
            reply = Reply(body=str(rule.get("body", rule.get("raw"))).encode())
        elif "body_base64" in rule:
            reply = Reply(body=base64.b64decode(rule["body_base64"]))
        elif "json" in rule:
            reply = Reply(body=json.dumps(rule["json"]).encode())
        elif "generate" in rule:
            reply = Reply()
            reply.stream = generated_list(rule.get("bytes", 0))
        elif "file" in rule:
            reply = Reply()
            reply.stream = file_stream(rule["file"])
        else:
            reply = self.normal_reply(method, path, fields, action)
        if "status" in rule:
            reply.status = int(rule["status"])
        if "content_type" in rule:
            reply.set_header("Content-Type", rule["content_type"])
        headers = rule.get("headers", [])
        for name, value in (headers.items() if isinstance(headers, dict)
                            else headers):
            reply.set_header(name, value)
            reply.closes = True
        reply.body_bytes = rule.get("body_bytes", 0)
        fault = FAULTS[rule["fault"]] if "fault" in rule else None
        return reply, fault

    def normal_reply(self, method, path, fields, action):
        if path != API_PATH:
            return json_reply({"error": "not found"}, 404)
        if method != "POST":
            return json_reply({"error": "method not allowed"}, 405)
        if action == "login":
            return self.login(fields)
        if (self.require_cid and action is not None and
                not any(n == "CID" and v in self.cids for n, v in fields)):
            return json_reply({"error": "invalid CID"}, 401)
        return self.reply_file(action, fields) or json_reply(
            {"error": "unknown action"}, 404)

    def login(self, fields):
        given = dict(fields)
        for field, expected in (("username", self.username),
                                ("password", self.password)):
            if expected is not None and given.get(field) != expected:
                return json_reply({"error": "bad credentials"})
        reply = self.reply_file("login", fields)
        with self.lock:
            self.logins += 1
            cid = f"cid-{self.logins}"
            self.cids.add(cid)
        return reply or json_reply({"CID": cid})

    def reply_file(self, action, fields):
        if action is None:
            return None
        names = self.file_index()
        candidates = [file_name(action, n, v) for n, v in fields]
        candidates.append(file_name(action))
        for name in candidates:
            if name in names:
                try:
                    with open(os.path.join(self.replies_dir, name), "rb") as f:
                        return Reply(body=f.read())
                except OSError:
                    continue
        return None

    def file_index(self):
        # Listed again only when the directory changes, so operators can add
        # reply files while the stub runs.
        try:
            stamp = os.stat(self.replies_dir).st_mtime_ns
        except OSError:
            return frozenset()
        with self.lock:
            if stamp != self.index_stamp:
                try:
                    self.index = frozenset(os.listdir(self.replies_dir))
                except OSError:
                    self.index = frozenset()
                self.index_stamp = stamp
            return self.index


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True
    timeout = IO_TIMEOUT

    def setup(self):
        self.request.settimeout(IO_TIMEOUT)
        self.tls_refused = False
        self.tls_resumed = None
        self.replies = 0  # on this connection
        self.reset = False  # end the connection with a TCP RST
        if self.server.tls is None:
            self.tls_refused = self.refuse_tls_handshake()
        else:
            # The handshake happens here, in this connection's thread, so a
            # client that never completes it holds up no one else.
            self.request = self.server.tls.wrap_socket(self.request,
                                                       server_side=True)
            self.tls_resumed = self.request.session_reused
        self.number = self.server.controller.next_connection()
        super().setup()

    def refuse_tls_handshake(self):
        """On a plain-HTTP port: answers a TLS client hello in plain HTTP,
        as a web server does with a request line it cannot read. Returns
        whether it did."""
        try:
            first = self.request.recv(1, socket.MSG_PEEK)
        except OSError:
            return True
        if first != b"\x16":  # not a TLS handshake record
            return False
        # Take the hello in, so closing does not reset the connection before
        # the reply is read.
        self.request.settimeout(0.5)
        try:
            self.request.recv(1 << 16)
        except OSError:
            pass
        body = b"This port speaks plain HTTP, not HTTPS.\n"
        try:
            self.request.sendall(
                b"HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\n"
                b"Content-Length: %d\r\nConnection: close\r\n\r\n" %
                len(body) + body)
        except OSError:
            pass
        return True

    def handle(self):
        if not self.tls_refused:
            super().handle()

    def send_bytes(self, data):
        # One write per reply: a reply split over two writes waits for the
        # peer's delayed acknowledgement.
        self.connection.sendall(data)

    def finish(self):
        try:
            super().finish()
        finally:
            # The server closes the plain socket it accepted, which no longer
            # owns the connection once it is wrapped.
            try:
                if self.reset:
                    self.request.setsockopt(socket.SOL_SOCKET,
                                            socket.SO_LINGER,
                                            struct.pack("ii", 1, 0))
                else:
                    self.request.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            self.request.close()

    def serve(self):
        # What the client asked for (HTTP/1.1 keeps the connection unless it
        # says "Connection: close"); the reply may still end it.
        keep = not self.close_connection
        self.close_connection = True
        self.replies += 1
        controller = self.server.controller
        try:
            length = int(self.headers.get("Content-Length", "0"))
        except ValueError:
            length = -1
        if (length < 0 or length > MAX_BODY or
                "Transfer-Encoding" in self.headers):
            controller.record(self.command, self.path, self.headers, b"",
                              self.number, self.tls_resumed)
            reply = json_reply({"error": "need a Content-Length of at most "
                                f"{MAX_BODY} bytes"}, 411)
            self.send_bytes(reply.head() + reply.body)
            return
        body = self.rfile.read(length)
        fields, action, count = controller.record(
            self.command, self.path, self.headers, body, self.number,
            self.tls_resumed)
        path = self.path.split("?", 1)[0]
        reply, fault, rule = controller.answer(
            self.command, path, fields, action, count,
            body.decode("utf-8", "replace"))
        limit = self.server.replies_per_connection
        keep = (keep and fault is None and not reply.closes and
                (limit is None or self.replies < limit))
        if "hold_until" in rule:
            self.wait_for(rule["hold_until"])
        if "delay" in rule:
            self.server.stopping.wait(rule["delay"])
        if fault is not None:
            fault(self, reply)
        elif self.command == "HEAD":
            self.send_bytes(reply.head(keep_alive=keep))
        elif reply.stream is not None:
            length, chunks = reply.stream
            self.send_bytes(reply.head(length, keep_alive=keep))
            for chunk in chunks():
                self.connection.sendall(chunk)
        else:
            self.send_bytes(reply.head(keep_alive=keep) + reply.body)
        self.close_connection = not keep

    def wait_for(self, path):
        # Polled: a test creates the file when the request may be answered.
        while not os.path.exists(path):
            if self.server.stopping.wait(0.02):
                return

    do_POST = do_GET = do_PUT = do_DELETE = do_PATCH = do_HEAD = serve
    do_OPTIONS = serve

    def log_message(self, format, *args):
        pass


class Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64

    def __init__(self, address, controller, tls, replies_per_connection):
        super().__init__(address, Handler)
        self.controller = controller
        self.tls = tls
        self.replies_per_connection = replies_per_connection
        self.stopping = threading.Event()
        self.slots = threading.BoundedSemaphore(MAX_CONNECTIONS)

    def process_request(self, request, client_address):
        if not self.slots.acquire(blocking=False):
            self.shutdown_request(request)
            return
        super().process_request(request, client_address)

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self.slots.release()

    def handle_error(self, request, client_address):
        pass  # a client that misbehaves loses its connection, nothing more


def make_certificate(directory):
    cert = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    if not (os.path.isfile(cert) and os.path.isfile(key)):
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
             "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key,
             "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1"],
            check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE, timeout=60)
    return cert, key


RULE_TYPES = {
    "action": str, "fields": dict, "nth": (int, list), "status": int,
    "body": str, "raw": str, "body_base64": str, "json": object,
    "content_type": str, "headers": (dict, list), "fault": str,
    "generate": str, "bytes": int, "hold_until": str, "file": str,
    "delay": (int, float), "body_bytes": int, "echo": str,
}
GENERATORS = ("list",)


def check_rule(rule):
    """Raises ValueError for a rule the stub could not carry out."""
    if not isinstance(rule, dict):
        raise ValueError(f"a rule must be an object: {rule!r}")
    for key, value in rule.items():
        if key not in RULE_TYPES:
            raise ValueError(f"unknown rule key {key!r}")
        if not isinstance(value, RULE_TYPES[key]) or isinstance(value, bool):
            if key != "json":
                raise ValueError(f"bad value for rule key {key!r}: {value!r}")
    if not all(isinstance(n, str) and isinstance(v, str)
               for n, v in rule.get("fields", {}).items()):
        raise ValueError("rule fields must map texts to texts")
    if isinstance(rule.get("nth"), list) and not all(
            isinstance(n, int) for n in rule["nth"]):
        raise ValueError("rule nth must be a number or a list of numbers")
    headers = rule.get("headers", {})
    pairs = headers.items() if isinstance(headers, dict) else headers
    if not all(isinstance(p, (list, tuple)) and len(p) == 2 and
               all(isinstance(x, str) for x in p) for p in pairs):
        raise ValueError("rule headers must be texts")
    if "fault" in rule and rule["fault"] not in FAULTS:
        raise ValueError(f"unknown fault {rule['fault']!r}; known: " +
                         ", ".join(sorted(FAULTS)))
    if "generate" in rule:
        if rule["generate"] not in GENERATORS:
            raise ValueError(f"unknown generator {rule['generate']!r}; "
                             "known: " + ", ".join(GENERATORS))
        if "fault" in rule:
            raise ValueError("a generated body takes no fault")
        if rule.get("bytes", 0) < 0:
            raise ValueError("rule bytes must not be negative")
    elif "bytes" in rule:
        raise ValueError("rule bytes needs generate")
    if "delay" in rule and not 0 <= rule["delay"] < float("inf"):
        raise ValueError("rule delay must be a number of seconds, at least 0")
    if "body_bytes" in rule:
        if rule.get("fault") != "head_then_hang":
            raise ValueError("rule body_bytes needs the fault head_then_hang")
        if rule["body_bytes"] < 0:
            raise ValueError("rule body_bytes must not be negative")
    if "file" in rule:
        if "fault" in rule:
            raise ValueError("a file body takes no fault")
        if not os.path.isfile(rule["file"]):
            raise ValueError(f"no such file: {rule['file']!r}")
    if "echo" in rule and rule["echo"] not in ECHO_SPELLINGS:
        raise ValueError(f"unknown echo {rule['echo']!r}; known: " +
                         ", ".join(ECHO_SPELLINGS))
    if "body_base64" in rule:
        try:
            base64.b64decode(rule["body_base64"], validate=True)
        except ValueError as e:
            raise ValueError(f"bad body_base64: {e}") from None


def load_rules(path):
    if not path:
        return []
    with open(path, encoding="utf-8") as f:
        document = json.load(f)
    rules = document.get("rules") if isinstance(document, dict) else None
    if not isinstance(rules, list):
        raise ValueError(f"{path}: expected {{\"rules\": [...]}}")
    for rule in rules:
        check_rule(rule)
    return rules


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="A stand-in Orvantis Controller for tests and offline "
        "check writing.")
    parser.add_argument("--replies", required=True,
                        help="directory of ACTION.json reply files")
    parser.add_argument("--rules", help="JSON file of reply rules and faults")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0,
                        help="0 picks a free port")
    parser.add_argument("--log", help="file to append one JSON line per "
                        "request to")
    parser.add_argument("--lifetime", type=float, default=DEFAULT_LIFETIME,
                        help="seconds until the stub exits by itself")
    parser.add_argument("--cert-dir", help="keep the certificate here")
    parser.add_argument("--username", help="the only user name accepted")
    parser.add_argument("--password", help="the only password accepted")
    parser.add_argument("--require-cid", action="store_true",
                        help="reject actions without a CID from a login")
    parser.add_argument("--plain-http", action="store_true",
                        help="speak plain HTTP, answering a TLS handshake "
                        "with a plain 400 reply")
    parser.add_argument("--replies-per-connection", type=int, metavar="N",
                        help="close a kept connection after N replies")
    args = parser.parse_args(argv)
    if not args.lifetime > 0:
        parser.error("--lifetime must be positive")
    if (args.replies_per_connection is not None and
            args.replies_per_connection < 1):
        parser.error("--replies-per-connection must be at least 1")
    return args


def main(argv):
    args = parse_args(argv)
    # Blocked in every thread and the openssl child, and taken only by
    # sigtimedwait below, so a stop request is never lost or half-handled.
    stop_signals = {signal.SIGTERM, signal.SIGINT}
    signal.pthread_sigmask(signal.SIG_BLOCK, stop_signals)
    temp_dir = None
    try:
        rules = load_rules(args.rules)
        tls = None
        if not args.plain_http:
            if args.cert_dir:
                os.makedirs(args.cert_dir, exist_ok=True)
                cert, key = make_certificate(args.cert_dir)
            else:
                temp_dir = tempfile.mkdtemp(prefix="stub_controller.")
                cert, key = make_certificate(temp_dir)
            tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            tls.load_cert_chain(cert, key)
            tls.set_alpn_protocols(["http/1.1"])
        controller = Controller(args.replies, rules, args.log, args.username,
                                args.password, args.require_cid)
        server = Server((args.host, args.port), controller, tls,
                        args.replies_per_connection)
    except (OSError, ValueError, ssl.SSLError,
            subprocess.SubprocessError) as e:
        if temp_dir:
            shutil.rmtree(temp_dir, ignore_errors=True)
        print(f"stub_controller: {e}", file=sys.stderr)
        return 1
    thread = threading.Thread(target=server.serve_forever,
                              kwargs={"poll_interval": 0.2}, daemon=True)
    thread.start()
    host, port = server.server_address[:2]
    print(f"listening on {host}:{port}", flush=True)
    try:
        signal.sigtimedwait(stop_signals, args.lifetime)
    finally:
        server.stopping.set()
        server.shutdown()
        server.server_close()
        controller.close()
        if temp_dir:
            shutil.rmtree(temp_dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
