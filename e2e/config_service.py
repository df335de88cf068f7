#!/usr/bin/env python3
"""The configuration service of the end-to-end world: a small HTTP server.

It serves the current WireGuard configuration for the device on
POST/GET /kelvo/invited/conf/ (bearer token required) and issues access
tokens on POST /token/refresh/. Its state lives in a JSON file the world
rewrites (atomically) to move the server or expire tokens:

  {"conf": "<wg-quick text>", "access_tokens": ["..."],
   "refresh_tokens": {"<refresh>": "<next access token>"}}

A request whose bearer token is not listed gets 401; a refresh with a known
refresh token adds the next access token to the list and returns it as
{"token": ...}. Every request is appended to <state>.log as one JSON line.
"""
import argparse
import json
import os
import sys
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOCK = threading.Lock()


def load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def save(path, state):
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path))
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        json.dump(state, f)
    os.replace(tmp, path)


class Handler(BaseHTTPRequestHandler):
    state_path = ""

    def log_message(self, fmt, *args):  # quiet: the request log says enough
        pass

    def record(self, status):
        entry = {"method": self.command, "path": self.path, "status": status,
                 "authorization": self.headers.get("Authorization"),
                 "device": self.headers.get("X-Device-Id")}
        with open(self.state_path + ".log", "a", encoding="utf-8") as f:
            f.write(json.dumps(entry) + "\n")

    def answer(self, status, body):
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
        self.record(status)

    def body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def conf(self):
        self.body()
        with LOCK:
            state = load(self.state_path)
        auth = self.headers.get("Authorization") or ""
        token = auth[len("Bearer "):] if auth.startswith("Bearer ") else None
        if token not in state.get("access_tokens", []):
            return self.answer(401, {"detail": "token expired"})
        return self.answer(200, {"conf": state["conf"], "local_ip": "10.100.0.2"})

    def refresh(self):
        try:
            refresh = json.loads(self.body() or b"{}").get("refresh")
        except ValueError:
            refresh = None
        with LOCK:
            state = load(self.state_path)
            token = state.get("refresh_tokens", {}).get(refresh)
            if token is None:
                return self.answer(401, {"detail": "bad refresh token"})
            state.setdefault("access_tokens", []).append(token)
            save(self.state_path, state)
        return self.answer(200, {"token": token})

    def route(self):
        if self.path == "/kelvo/invited/conf/":
            return self.conf()
        if self.path == "/token/refresh/" and self.command == "POST":
            return self.refresh()
        return self.answer(404, {"detail": "not found"})

    do_GET = route
    do_POST = route


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", required=True)
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--state", required=True)
    args = parser.parse_args()
    Handler.state_path = args.state
    server = ThreadingHTTPServer((args.address, args.port), Handler)
    print(f"config service on http://{args.address}:{args.port}", file=sys.stderr, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
