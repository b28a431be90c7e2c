#!/usr/bin/env python3
"""Pretends to be a phone running Phyphox's gyroscope experiment with remote access on.

Serves, like the phone app:
  GET /config                                   the experiment's configuration
  GET /get?gyrX=full&gyrY=full&gyrZ=full&gyr_time=full
                                                the whole buffers since the experiment started

Control, for tests and trials (GET or POST, answers "ok"):
  /control?restart=1        start the phone's clock over (buffers emptied)
  /control?measuring=0|1    stop or resume measuring
  /control?rate=HZ          sample rate from now on
  /control?mode=MODE        how the next /get answers are served:
      normal     the real answer
      stall      accept the request and never answer (until the client gives up)
      slow       answer, but trickle the body out over --slow-seconds
      malformed  an HTML error page with status 500
      empty      status 200 with an empty body
      truncated  the first half of the real answer
      mixed      a string and a boolean inside the x array
      close      announce the full length, send half, then close the connection
      huge       announce a body of 300 MiB and stream filler
  /control?state=1          print nothing, answer the state as JSON

The x, y and z values of a sample at phone time t are sin(t), cos(t) and t / 1000,
so a receiver can check that each value belongs to its time.

Only 127.0.0.1 is listened on unless --host says otherwise.
Example: tools/phone_simulator.py --port 8080, then run the station with
--phyphox 127.0.0.1:8080.
"""

import argparse
import json
import math
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlparse

BUFFERS = ("gyrX", "gyrY", "gyrZ", "gyr_time")


class Phone:
    """The experiment's clock and buffers, grown lazily on each request."""

    def __init__(self, rate, offset):
        self.lock = threading.Lock()
        self.rate = rate
        self.measuring = True
        self.mode = "normal"
        self.session = "5e3a1c"
        self.times = []
        self.texts = {name: [] for name in BUFFERS}
        self.clock_start = time.monotonic() - offset
        self.next_time = 0.0

    def phone_now(self):
        return time.monotonic() - self.clock_start

    def grow(self):
        now = self.phone_now()
        while self.next_time <= now:
            t = round(self.next_time, 6)
            if self.measuring:
                self.times.append(t)
                self.texts["gyr_time"].append(repr(t))
                self.texts["gyrX"].append(repr(math.sin(t)))
                self.texts["gyrY"].append(repr(math.cos(t)))
                self.texts["gyrZ"].append(repr(t / 1000))
            self.next_time += 1.0 / self.rate

    def restart(self):
        self.clock_start = time.monotonic()
        self.next_time = 0.0
        self.times = []
        self.texts = {name: [] for name in BUFFERS}
        self.session = "%06x" % (int(time.time() * 1000) & 0xFFFFFF)

    def answer(self):
        with self.lock:
            self.grow()
            parts = []
            for name in BUFFERS:
                values = ",".join(self.texts[name])
                parts.append('"%s":{"size":0,"updateMode":"full","buffer":[%s]}' % (name, values))
            status = {"session": self.session, "measuring": self.measuring,
                      "timedRun": False, "countDown": 0}
            return ('{"buffer":{%s},"status":%s}' % (",".join(parts), json.dumps(status))).encode()

    def config(self):
        return json.dumps({
            "crc32": "2f3e4d5c", "title": "Gyroscope (rotation rate)", "localTitle": "Gyroscope",
            "category": "Raw Sensors",
            "buffers": [{"name": name, "size": 0} for name in BUFFERS],
            "inputs": [{"source": "gyroscope", "outputs": [{"x": "gyrX"}, {"y": "gyrY"},
                                                         {"z": "gyrZ"}, {"t": "gyr_time"}]}],
            "export": [],
        }).encode()

    def control(self, query):
        with self.lock:
            self.grow()
            if "restart" in query:
                self.restart()
            if "measuring" in query:
                self.measuring = query["measuring"][0] not in ("0", "false")
            if "rate" in query:
                self.rate = float(query["rate"][0])
            if "mode" in query:
                self.mode = query["mode"][0]
            return {"mode": self.mode, "measuring": self.measuring, "rate": self.rate,
                    "samples": len(self.times), "phoneTime": self.phone_now()}


def make_handler(phone, slow_seconds):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def send_body(self, body, status=200, content_type="application/json"):
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_POST(self):
            self.do_GET()

        def do_GET(self):
            url = urlparse(self.path)
            try:
                if url.path == "/config":
                    self.send_body(phone.config())
                elif url.path == "/get":
                    self.serve_get()
                elif url.path == "/control":
                    state = phone.control(parse_qs(url.query))
                    self.send_body(json.dumps(state).encode() if "state" in url.query else b"ok",
                                   content_type="text/plain")
                else:
                    self.send_body(b"<html><body>Not found</body></html>", 404, "text/html")
            except (BrokenPipeError, ConnectionResetError):
                self.close_connection = True

        def serve_get(self):
            mode = phone.mode
            body = phone.answer()
            if mode == "stall":
                time.sleep(5.0)
                self.close_connection = True
            elif mode == "slow":
                self.trickle(body)
            elif mode == "malformed":
                self.send_body(b"<html><body>500 Internal Server Error</body></html>", 500,
                               "text/html")
            elif mode == "empty":
                self.send_body(b"")
            elif mode == "truncated":
                self.send_body(body[: len(body) // 2])
            elif mode == "mixed":
                self.send_body(body.replace(b'"gyrX":{"size":0,"updateMode":"full","buffer":[',
                                            b'"gyrX":{"size":0,"updateMode":"full","buffer":["a",true,', 1))
            elif mode == "close":
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body[: len(body) // 2])
                self.wfile.flush()
                self.close_connection = True
            elif mode == "huge":
                self.send_huge()
            else:
                self.send_body(body)

        def trickle(self, body):
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            pieces = 20
            step = max(1, len(body) // pieces)
            for start in range(0, len(body), step):
                self.wfile.write(body[start:start + step])
                self.wfile.flush()
                time.sleep(slow_seconds / pieces)

        def send_huge(self):
            size = 300 * 1024 * 1024
            self.send_response(200)
            self.send_header("Content-Length", str(size))
            self.end_headers()
            filler = b'{"buffer":{"gyr_time":{"buffer":[' + b"0," * 32768
            sent = 0
            deadline = time.monotonic() + 5.0
            while sent < size and time.monotonic() < deadline:
                self.wfile.write(filler)
                sent += len(filler)
            self.close_connection = True

    return Handler


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8080,
                        help="port; 0 picks a free one (default 8080)")
    parser.add_argument("--rate", type=float, default=100.0, help="samples per second (default 100)")
    parser.add_argument("--offset", type=float, default=0.0,
                        help="seconds the experiment has already been running (default 0)")
    parser.add_argument("--slow-seconds", type=float, default=3.0,
                        help="how long a slow answer takes (default 3)")
    args = parser.parse_args()

    phone = Phone(args.rate, args.offset)
    server = ThreadingHTTPServer((args.host, args.port), make_handler(phone, args.slow_seconds))
    server.daemon_threads = True
    print("listening on %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
