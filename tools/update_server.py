#!/usr/bin/env python3
"""Reference Korvel update server: the server side of the update protocol, from a folder.

It serves GET requests on /cgi/u with the ops hi, qu, builds, bird, fix and ent_jwt, and is
what tests run the updater against; a site without internet access can run it as its local
mirror. It listens on loopback unless told otherwise.

The catalogue is a folder that a person sets up by hand:

    FOLDER/*.bird        the firmware files offered; build, version, serial number and model
                         come from each file's info block
    FOLDER/catalogue.txt one entry per line ("#" starts a comment):
        device SERIAL MODEL                   a device; it is offered every file of its model
                                              whose info serial is 00000000 or its own serial
        latest SERIAL BUILD                   the build the device is told to take (default:
                                              the one with the newest version)
        unlisted SERIAL BUILD                 served to the device when asked for by number, but
                                              neither listed nor named as latest
        features SERIAL NAME...               software features named in the device's token
        fingerprint W0 W1 W2 W3 SERIAL BUILD  recovery: the device and build of a processor
        jwt-key TEXT                          key that signs tokens (default: made at start)

Answers are lines; the first is "ok" for success. For tests: --fault OP=KIND makes one op
(or "all") misbehave (KIND: 404, 500, notok, badbase64, empty, stall, close), --delay
OP=SECONDS slows it, --log FILE records every request target as received, --port 0 picks a
free port that --port-file receives, --lifetime ends the server after so many seconds, and
--exit-on-stdin-eof ends it when its parent goes away. --tls-cert/--tls-key serve HTTPS.
"""

import argparse
import base64
import hashlib
import hmac
import json
import os
import secrets
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

from birdwriter import read_info

PATH = "/cgi/u"


def version_key(version):
    try:
        parts = [int(p) for p in version.split(".")]
    except ValueError:
        return (-1,)
    return tuple(parts) if len(parts) == 3 else (-1,)


class Catalogue:
    def __init__(self, folder):
        self.folder = folder
        self.models = {}       # serial -> model
        self.latest = {}       # serial -> build
        self.unlisted = set()  # (serial, build)
        self.features = {}     # serial -> [names]
        self.fingerprints = {} # (w0..w3) -> (serial, build)
        self.key = secrets.token_bytes(32)
        self.files = []        # (build, version, serial, model, path)
        path = os.path.join(folder, "catalogue.txt")
        if os.path.exists(path):
            with open(path) as f:
                for number, line in enumerate(f, 1):
                    self._entry(line.split("#", 1)[0].split(), path, number)
        for name in sorted(os.listdir(folder)):
            if not name.endswith(".bird"):
                continue
            full = os.path.join(folder, name)
            with open(full, "rb") as f:
                info = read_info(f.read())
            if info is None:
                print(f"update_server: skipping {full}: not a readable BIRD file", file=sys.stderr)
                continue
            self.files.append(info + (full,))

    def _entry(self, words, path, number):
        if not words:
            return
        kind, args = words[0], words[1:]
        try:
            if kind == "device" and len(args) == 2:
                self.models[args[0].upper()] = args[1]
            elif kind == "latest" and len(args) == 2:
                self.latest[args[0].upper()] = args[1]
            elif kind == "unlisted" and len(args) == 2:
                self.unlisted.add((args[0].upper(), args[1]))
            elif kind == "features" and args:
                self.features[args[0].upper()] = args[1:]
            elif kind == "fingerprint" and len(args) == 6:
                words4 = tuple(int(w, 16) for w in args[:4])
                self.fingerprints[words4] = (args[4].upper(), args[5])
            elif kind == "jwt-key" and len(args) == 1:
                self.key = args[0].encode()
            else:
                raise ValueError(kind)
        except ValueError:
            print(f"update_server: {path}:{number}: entry not understood", file=sys.stderr)

    def builds(self, serial, listed=True):
        """build -> (version, path) of the files offered to the device, first file wins."""
        model = self.models.get(serial)
        offered = {}
        if model is None:
            return offered
        for build, version, file_serial, file_model, path in self.files:
            if file_model == model and file_serial in ("00000000", serial):
                if listed and (serial, build) in self.unlisted:
                    continue
                offered.setdefault(build, (version, path))
        return offered

    def newest(self, serial):
        builds = self.builds(serial)
        if not builds:
            return None
        build = self.latest.get(serial)
        if build not in builds:
            build = max(builds, key=lambda b: (version_key(builds[b][0]), int(b) if b.isdigit() else -1))
        return build, builds[build][0]

    def token(self, serial):
        def part(data):
            return base64.urlsafe_b64encode(data).rstrip(b"=").decode()
        header = part(json.dumps({"alg": "HS256", "typ": "JWT"}).encode())
        payload = part(json.dumps({"sn": serial, "model": self.models[serial],
                                   "features": self.features.get(serial, []),
                                   "iat": int(time.time())}).encode())
        signature = part(hmac.new(self.key, f"{header}.{payload}".encode(), hashlib.sha256).digest())
        return f"{header}.{payload}.{signature}"


class Handler(BaseHTTPRequestHandler):
    server_version = "KorvelReferenceServer/1"
    protocol_version = "HTTP/1.0"

    def setup(self):
        super().setup()
        if isinstance(self.request, ssl.SSLSocket):
            self.request.do_handshake()

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("update_server: " + fmt % args + "\n")

    def _send(self, status, text):
        data = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        self.server.record(self.path)
        url = urlsplit(self.path)
        if url.path != PATH:
            return self._send(404, "not found\n")
        query = parse_qs(url.query, keep_blank_values=True)
        value = lambda key: query.get(key, [""])[0]
        op = value("op")
        delay = self.server.delays.get(op, self.server.delays.get("all"))
        if delay:
            time.sleep(delay)
        fault = self.server.faults.get(op, self.server.faults.get("all"))
        if fault in ("404", "500"):
            return self._send(int(fault), "refused by fault injection\n")
        if fault == "notok":
            return self._send(200, "denied\n")
        if fault == "empty":
            return self._send(200, "ok\n")
        if fault == "stall":
            time.sleep(self.server.lifetime or 3600)
            return None
        if fault == "close":
            self.close_connection = True
            return None
        handler = getattr(self, "op_" + op, None)
        if handler is None:
            return self._send(400, "unknown op\n")
        status, text = handler(value, fault)
        return self._send(status, text)

    def op_hi(self, value, fault):
        return 200, "ok\n"

    def op_qu(self, value, fault):
        newest = self.server.catalogue.newest(value("sn").upper())
        if newest is None:
            return 200, "unknown device\n"
        return 200, "ok\n%s\n%s\n" % newest

    def op_builds(self, value, fault):
        serial = value("sn").upper()
        if serial not in self.server.catalogue.models:
            return 200, "unknown device\n"
        builds = self.server.catalogue.builds(serial)
        lines = "".join(f"{b};{v}\n" for b, (v, _) in sorted(builds.items()))
        return 200, "ok\n" + lines

    def op_bird(self, value, fault):
        builds = self.server.catalogue.builds(value("sn").upper(), listed=False)
        found = builds.get(value("bld"))
        if found is None:
            return 200, "no such build\n"
        if fault == "badbase64":
            return 200, "ok\n@@@@not*base64@@@@\n"
        with open(found[1], "rb") as f:
            return 200, "ok\n" + base64.b64encode(f.read()).decode() + "\n"

    def op_fix(self, value, fault):
        try:
            words = tuple(int(w, 16) for w in value("fp").split())
        except ValueError:
            words = ()
        found = self.server.catalogue.fingerprints.get(words)
        if found is None:
            return 200, "unknown fingerprint\n"
        return 200, "ok\n%s\n%s\n" % found

    def op_ent_jwt(self, value, fault):
        serial = value("sn").upper()
        if serial not in self.server.catalogue.models:
            return 200, "unknown device\n"
        return 200, "ok\n" + self.server.catalogue.token(serial) + "\n"


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, catalogue, args):
        super().__init__(address, Handler)
        self.catalogue = catalogue
        self.verbose = args.verbose
        self.lifetime = args.lifetime
        self.faults = dict(pair.split("=", 1) for pair in args.fault)
        self.delays = {k: float(v) for k, v in (pair.split("=", 1) for pair in args.delay)}
        self.log_path = args.log
        self.log_lock = threading.Lock()
        self.tls = None
        if args.tls_cert:
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.load_cert_chain(args.tls_cert, args.tls_key)

    def get_request(self):
        sock, address = super().get_request()
        if self.tls is not None:
            # The handshake runs on the request's own thread, so a bad client blocks nobody.
            sock = self.tls.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, address

    def handle_error(self, request, client_address):
        if self.verbose:
            super().handle_error(request, client_address)

    def record(self, target):
        if self.log_path:
            with self.log_lock, open(self.log_path, "a") as f:
                f.write(target + "\n")


def _exit_later(seconds):
    time.sleep(seconds)
    os._exit(0)


def _exit_on_eof():
    while sys.stdin.buffer.read(4096):
        pass
    os._exit(0)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--catalogue", required=True, help="catalogue folder")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--port-file", help="receives the port once the server listens")
    parser.add_argument("--log", help="every request target is appended to this file")
    parser.add_argument("--lifetime", type=float, default=0, help="seconds until the server ends (0: never)")
    parser.add_argument("--exit-on-stdin-eof", action="store_true")
    parser.add_argument("--fault", action="append", default=[], metavar="OP=KIND")
    parser.add_argument("--delay", action="append", default=[], metavar="OP=SECONDS")
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args(argv)

    server = Server((args.host, args.port), Catalogue(args.catalogue), args)
    port = server.server_address[1]
    if args.port_file:
        temporary = args.port_file + ".tmp"
        with open(temporary, "w") as f:
            f.write(f"{port}\n")
        os.replace(temporary, args.port_file)
    scheme = "https" if server.tls else "http"
    print(f"update_server: serving {scheme}://{args.host}:{port}{PATH}", file=sys.stderr, flush=True)
    if args.lifetime > 0:
        threading.Thread(target=_exit_later, args=(args.lifetime,), daemon=True).start()
    if args.exit_on_stdin_eof:
        threading.Thread(target=_exit_on_eof, daemon=True).start()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
