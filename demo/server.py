#!/usr/bin/env python3
"""Demo channel directory: GET /channel/<number> answers with that channel's
record from channels.json as UTF-8 JSON, or 404 with a small error body.

    demo/server.py [--host 127.0.0.1] [--port 8936] [--data demo/channels.json]
"""
import argparse
import json
import os
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote

HERE = os.path.dirname(os.path.abspath(__file__))


def load_channels(path):
    with open(path, encoding="utf-8") as f:
        channels = json.load(f)
    for number, record in channels.items():
        # The program reads the name up to the next `",`, so a field must follow it.
        keys = list(record)
        if "name" not in keys or keys[-1] == "name":
            sys.exit(f"{path}: channel {number}: \"name\" must be present and not last")
    return channels


class Handler(BaseHTTPRequestHandler):
    channels = {}
    server_version = "ChannelDemo/1.0"

    def do_GET(self):
        prefix = "/channel/"
        path = self.path.split("?", 1)[0]
        number = unquote(path[len(prefix):]) if path.startswith(prefix) else None
        record = self.channels.get(number) if number is not None else None
        if record is not None:
            self.reply(200, record)
        elif number is not None:
            self.reply(404, {"error": "no such channel", "id": number})
        else:
            self.reply(404, {"error": "not found"})

    def reply(self, status, obj):
        # Compact separators: the program looks for `"name":"` with no space.
        body = json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, fmt, *args):
        sys.stderr.write("demo: %s\n" % (fmt % args))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8936)
    parser.add_argument("--data", default=os.path.join(HERE, "channels.json"))
    args = parser.parse_args()
    Handler.channels = load_channels(args.data)
    server = ThreadingHTTPServer((args.host, args.port), Handler)
    sys.stderr.write("demo: serving %d channels on http://%s:%d/channel/\n"
                     % (len(Handler.channels), args.host, args.port))
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
