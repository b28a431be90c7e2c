#!/usr/bin/env python3
"""Pretends to be a phone running Phyphox's gyroscope experiment with remote access on.

The phone's side, as the app serves it:
  GET /config                 the experiment: its "buffers" (gyrX, gyrY, gyrZ, gyr_time, gyr)
  GET /get?QUERY              buffer contents; for each NAME in the query:
        NAME=full               every value of the buffer          ("updateMode":"full")
        NAME=T                  the values greater than T          ("partial")
        NAME=T|REF              the values at the indices where buffer REF is greater than T
        NAME                    the last value                     ("single")
      T is first raised by one unit of its 8th significant digit, which undoes the
      rounding of printed numbers. The first /get after a clear is answered in full.
  GET /time                   the experiment's starts and pauses:
      [{"event":"START"|"PAUSE","experimentTime":s,"systemTime":phone wall clock s}, ...]
  GET /control?cmd=start|stop|clear
      start or resume / pause / stop, empty the buffers and set time back to 0;
      answers {"result": true}. The session id stays the same.

The experiment's time stands still while it is paused and carries on from the same
value when it resumes. Samples come at --rate (default 400 Hz, a phone's fastest).
--platform chooses how answers look and travel:
  android      8 significant digits ("6.9947406E-3", "0E0"), gzip and chunked when the
               client accepts gzip, connections kept alive (the default)
  android-old  8 digits, plain bodies, one request per connection, closed without saying so
  ios          full precision, keys in random order, "Connection: close" on every answer,
               the four buffers copied one after another while the sensor appends
               (--copy-ms apart), so their lengths often differ
NaN is written as null on every platform.

Test switches, outside the app's own paths (GET or POST, answer "ok"):
  /sim?spike_at=S[&spike_ms=MS]  samples taken at host instants from S (seconds on
                                 CLOCK_MONOTONIC, Python's time.monotonic(), the station's
                                 steady clock) for MS milliseconds (default 30) carry
                                 gyrX = 20 rad/s; samples already taken are changed too
  /sim?nan=1                     the next sample's gyrY is NaN (sent as null)
  /sim?absurd=1                  one sample at phone time 1e9 s joins the buffers
  /sim?rate=HZ                   sample rate from now on
  /sim?measuring=0|1             the same as cmd=stop / cmd=start
  /sim?restart=1                 cmd=clear followed by cmd=start, as a user would
  /sim?mode=MODE                 how the next /get answers are served:
      normal     the real answer
      stall      accept the request and never answer (until the client gives up)
      slow       answer, but trickle the body out over --slow-seconds
      malformed  an HTML error page with status 500
      empty      status 200 with an empty body
      truncated  the first half of the real answer
      mixed      a string and a boolean inside the x array
      close      announce the full length, send half, then close the connection
      huge       announce a body of 300 MiB and stream filler
  /sim?state=1                   the state as JSON, with the number of /get answers served
                                 and their bytes as sent ("answers", "answerBytes")
The same switches are also taken on /control when no cmd is given.

Sample k (counted from 0 over the simulator's life) carries gyrX = sin(0.01 k),
gyrY = cos(0.01 k) and gyrZ = k / 1e6, so a receiver can tell which sample a value
belongs to. With --truth FILE every sample taken after start-up is logged as a line
"k host_instant phone_time" (host instant on time.monotonic()).

Only 127.0.0.1 is listened on unless --host says otherwise.
Example: tools/phone_simulator.py --port 8080, then run the station with
--phyphox 127.0.0.1:8080.
"""

import argparse
import bisect
import gzip
import json
import math
import random
import re
import sys
import threading
import time
from array import array
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, parse_qsl, urlparse

BUFFERS = ("gyrX", "gyrY", "gyrZ", "gyr_time")
SESSION = "869df0"


def android_number(value):
    """At most 8 significant digits with an exponent: 6.9947406E-3, 0E0, -1.2345679E7."""
    if not math.isfinite(value):
        return "null"
    if value == 0:
        return "0E0"
    mantissa, exponent = ("%.7E" % value).split("E")
    mantissa = mantissa.rstrip("0").rstrip(".")
    return "%sE%d" % (mantissa, int(exponent))


def ios_number(value):
    return repr(float(value)) if math.isfinite(value) else "null"


def raised(threshold):
    """The threshold plus one unit of its 8th significant digit."""
    if threshold == 0 or not math.isfinite(threshold):
        return threshold
    return threshold + 10.0 ** (math.floor(math.log10(abs(threshold))) - 7)


class Limiter:
    """One shared link of a given speed in bytes per second (0: unlimited)."""

    def __init__(self, rate):
        self.rate = rate
        self.lock = threading.Lock()
        self.free_at = 0.0

    def wait(self, size):
        if self.rate <= 0:
            return
        with self.lock:
            now = time.monotonic()
            self.free_at = max(now, self.free_at) + size / self.rate
            until = self.free_at
        time.sleep(max(0.0, until - time.monotonic()))


class Phone:
    """The experiment's clock and buffers, grown lazily up to the present on each request."""

    def __init__(self, args):
        self.lock = threading.Lock()
        self.rate = args.rate
        self.platform = args.platform
        self.has_time = not args.no_time
        self.copy_delay = args.copy_ms / 1000.0
        self.mode = "normal"
        self.wall_offset = time.time() - time.monotonic() + args.wall_skew
        self.serial = 0
        self.spike = None
        self.nan_next = False
        self.unsorted = False
        self.truth = None
        self.answers = 0  # /get answers served and their bytes as sent
        self.answer_bytes = 0
        self.clear_buffers()
        self.full_next = False
        self.measuring = False
        if not args.paused:
            self.start(time.monotonic() - args.history)
            self.grow(time.monotonic())
        if args.truth:
            self.truth = open(args.truth, "w")

    def clear_buffers(self):
        self.arrays = {name: array("d") for name in BUFFERS}
        self.hosts = array("d")
        self.events = []
        self.experiment_time = 0.0  # where the clock stands, or stood at the last start
        self.full_next = True
        self.unsorted = False

    def wall(self, host):
        return host + self.wall_offset

    def start(self, host):
        if self.measuring:
            return
        self.measuring = True
        self.start_host = host
        self.ticks = 0
        self.events.append(("START", self.experiment_time, self.wall(host)))

    def stop(self, host):
        if not self.measuring:
            return
        self.grow(host)
        self.experiment_time += host - self.start_host
        self.measuring = False
        self.events.append(("PAUSE", self.experiment_time, self.wall(host)))

    def clear(self, host):
        self.stop(host)
        self.clear_buffers()

    def grow(self, now):
        if not self.measuring:
            return
        period = 1.0 / self.rate
        while True:
            host = self.start_host + (self.ticks + 1) * period
            if host > now:
                break
            self.ticks += 1
            self.add(self.experiment_time + (host - self.start_host), host)
        if self.truth:
            self.truth.flush()

    def add(self, phone_time, host):
        k = self.serial
        self.serial += 1
        x = math.sin(0.01 * k)
        if self.spike and self.spike[0] <= host < self.spike[1]:
            x = 20.0
        y = math.nan if self.nan_next else math.cos(0.01 * k)
        self.nan_next = False
        for name, value in zip(BUFFERS, (x, y, k / 1e6, phone_time)):
            self.arrays[name].append(value)
        self.hosts.append(host)
        if self.truth:
            self.truth.write("%d %.9f %.9f\n" % (k, host, phone_time))

    def set_rate(self, rate, now):
        if self.measuring:  # carry on from here at the new rate
            self.stop(now)
            self.events.pop()
            self.measuring = True
            self.start_host = now
            self.ticks = 0
        self.rate = rate

    def set_spike(self, start, seconds):
        self.spike = (start, start + seconds)
        i = len(self.hosts) - 1
        while i >= 0 and self.hosts[i] >= start:
            if self.hosts[i] < start + seconds:
                self.arrays["gyrX"][i] = 20.0
            i -= 1

    def add_absurd(self):
        self.unsorted = True
        for name, value in zip(BUFFERS, (0.0, 0.0, 0.0, 1e9)):
            self.arrays[name].append(value)
        self.hosts.append(math.nan)

    def indices(self, name, asked):
        """Which values of a buffer a query asks for, and the answer's update mode."""
        values = self.arrays[name]
        if asked == "full":
            return range(len(values)), "full"
        if asked == "":
            return range(max(0, len(values) - 1), len(values)), "single"
        text, _, reference = asked.partition("|")
        try:
            threshold = raised(float(text))
        except ValueError:
            return range(0), "partial"
        ref = self.arrays.get(reference or name, values)
        if ref is self.arrays["gyr_time"] and not self.unsorted:
            return range(bisect.bisect_right(ref, threshold), len(ref)), "partial"
        return [i for i, v in enumerate(ref) if v > threshold], "partial"

    def answer(self, query):
        wanted = [(name, asked) for name, asked in parse_qsl(query, keep_blank_values=True)
                  if name in self.arrays]
        with self.lock:
            self.grow(time.monotonic())
            full = self.full_next
            self.full_next = False
            status = {"session": SESSION, "measuring": self.measuring,
                      "timedRun": False, "countDown": 0}
        copies = []
        ios = self.platform == "ios"
        with self.lock:
            for n, (name, asked) in enumerate(wanted):
                if ios and n > 0:  # copied one after another while the sensor appends
                    self.lock.release()
                    time.sleep(self.copy_delay)
                    self.lock.acquire()
                    self.grow(time.monotonic())
                chosen, mode = self.indices(name, "full" if full else asked)
                values = self.arrays[name]
                copies.append((name, mode, [values[i] for i in chosen]))
        return self.encode(copies, status)

    def encode(self, copies, status):
        ios = self.platform == "ios"
        number = ios_number if ios else android_number
        buffers = ['"%s":%s' % (name, self.encode_object(
            [('"size"', "0"), ('"updateMode"', '"%s"' % mode),
             ('"buffer"', "[" + ",".join(map(number, values)) + "]")]))
                   for name, mode, values in copies]
        if ios:
            random.shuffle(buffers)
        status_text = self.encode_object([('"%s"' % k, json.dumps(v)) for k, v in status.items()])
        return self.encode_object([('"buffer"', "{" + ",".join(buffers) + "}"),
                                   ('"status"', status_text)]).encode()

    def encode_object(self, members):
        if self.platform == "ios":
            members = random.sample(members, len(members))
        return "{" + ",".join("%s:%s" % member for member in members) + "}"

    def time_record(self):
        with self.lock:
            return json.dumps([{"event": e, "experimentTime": t, "systemTime": w}
                               for e, t, w in self.events]).encode()

    def config(self):
        return json.dumps({
            "crc32": "2f3e4d5c", "title": "Gyroscope (rotation rate)", "localTitle": "Gyroscope",
            "category": "Raw Sensors",
            "buffers": [{"name": name, "size": 0} for name in BUFFERS + ("gyr",)],
            "inputs": [{"source": "gyroscope", "outputs": [{"x": "gyrX"}, {"y": "gyrY"},
                                                         {"z": "gyrZ"}, {"t": "gyr_time"},
                                                         {"abs": "gyr"}]}],
            "export": [],
        }).encode()

    def command(self, cmd):
        with self.lock:
            now = time.monotonic()
            self.grow(now)
            if cmd == "start":
                self.start(now)
            elif cmd == "stop":
                self.stop(now)
            elif cmd == "clear":
                self.clear(now)
            else:
                return False
            return True

    def switches(self, query):
        with self.lock:
            now = time.monotonic()
            self.grow(now)
            if "restart" in query:
                self.clear(now)
                self.start(now)
            if "measuring" in query:
                if query["measuring"][0] in ("0", "false"):
                    self.stop(now)
                else:
                    self.start(now)
            if "rate" in query:
                self.set_rate(float(query["rate"][0]), now)
            if "mode" in query:
                self.mode = query["mode"][0]
            if "spike_at" in query:
                self.set_spike(float(query["spike_at"][0]),
                               float(query.get("spike_ms", ["30"])[0]) / 1000.0)
            if "nan" in query:
                self.nan_next = True
            if "absurd" in query:
                self.add_absurd()
            phone_time = self.experiment_time + (now - self.start_host if self.measuring else 0)
            return {"mode": self.mode, "measuring": self.measuring, "rate": self.rate,
                    "samples": len(self.hosts), "serial": self.serial, "phoneTime": phone_time,
                    "host": now, "answers": self.answers, "answerBytes": self.answer_bytes}


def make_handler(phone, slow_seconds, limiter):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def send_body(self, body, status=200, content_type="application/json", counted=False):
            """An answer the way this platform sends it."""
            packed = phone.platform == "android" and \
                "gzip" in self.headers.get("Accept-Encoding", "")
            if packed:
                body = gzip.compress(body, 6)
            if counted:
                with phone.lock:
                    phone.answers += 1
                    phone.answer_bytes += len(body)
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            if packed:
                self.send_header("Content-Encoding", "gzip")
                self.send_header("Transfer-Encoding", "chunked")
            else:
                self.send_header("Content-Length", str(len(body)))
            if phone.platform == "ios":
                self.send_header("Connection", "close")
            self.end_headers()
            step = 16384
            for start in range(0, len(body), step):
                piece = body[start:start + step]
                limiter.wait(len(piece))
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if packed else piece)
            if packed:
                self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
            if phone.platform != "android":
                self.close_connection = True

        def send_plain(self, body, status=200, content_type="application/json"):
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_POST(self):
            self.do_GET()

        def do_GET(self):
            url = urlparse(self.path)
            query = parse_qs(url.query)
            try:
                if url.path == "/config":
                    self.send_body(phone.config())
                elif url.path == "/get":
                    self.serve_get(url.query)
                elif url.path == "/time" and phone.has_time:
                    self.send_body(phone.time_record())
                elif url.path == "/control" and "cmd" in query:
                    result = phone.command(query["cmd"][0])
                    self.send_body(json.dumps({"result": result}).encode())
                elif url.path in ("/control", "/sim"):
                    state = phone.switches(query)
                    self.send_plain(json.dumps(state).encode() if "state" in query else b"ok",
                                    content_type="text/plain")
                else:
                    self.send_body(b"<html><body>Not found</body></html>", 404, "text/html")
            except (BrokenPipeError, ConnectionResetError):
                self.close_connection = True

        def serve_get(self, query):
            mode = phone.mode
            body = phone.answer(query)
            if mode == "stall":
                time.sleep(5.0)
                self.close_connection = True
            elif mode == "slow":
                self.trickle(body)
            elif mode == "malformed":
                self.send_plain(b"<html><body>500 Internal Server Error</body></html>", 500,
                                "text/html")
            elif mode == "empty":
                self.send_plain(b"")
            elif mode == "truncated":
                self.send_plain(body[: len(body) // 2])
            elif mode == "mixed":
                self.send_plain(re.sub(rb'("gyrX":\{[^}]*"buffer":\[)', rb'\1"a",true,', body,
                                       count=1))
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
                self.send_body(body, counted=True)

        def trickle(self, body):
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            pieces = 20
            step = max(1, len(body) // pieces + 1)
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
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8080,
                        help="port; 0 picks a free one (default 8080)")
    parser.add_argument("--platform", choices=("android", "android-old", "ios"),
                        default="android", help="which app to model (default android)")
    parser.add_argument("--rate", type=float, default=400.0,
                        help="samples per second (default 400)")
    parser.add_argument("--history", "--offset", type=float, default=0.0, dest="history",
                        help="seconds the experiment has measured already, filled in at once "
                             "(default 0)")
    parser.add_argument("--paused", action="store_true",
                        help="start with the experiment not measuring")
    parser.add_argument("--no-time", action="store_true",
                        help="model an app without /time (answered 404)")
    parser.add_argument("--bandwidth", type=float, default=0.0,
                        help="bytes per second of the link, shared by all answers "
                             "(default 0: unlimited)")
    parser.add_argument("--copy-ms", type=float, default=3.0,
                        help="ios: milliseconds between copying one buffer and the next "
                             "(default 3)")
    parser.add_argument("--wall-skew", type=float, default=0.0,
                        help="seconds the phone's wall clock is ahead of the host's (default 0)")
    parser.add_argument("--truth", help="file that logs every sample with its host instant")
    parser.add_argument("--slow-seconds", type=float, default=3.0,
                        help="how long a slow answer takes (default 3)")
    args = parser.parse_args()

    phone = Phone(args)
    handler = make_handler(phone, args.slow_seconds, Limiter(args.bandwidth))
    server = ThreadingHTTPServer((args.host, args.port), handler)
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
