#!/usr/bin/python3
"""A local RFC 3161 time-stamping service for the release tests.

    timestamp-service.py TSA-CONFIG PORT-FILE [LIFETIME-SECONDS]

Listens on 127.0.0.1 on a free port and writes the port to PORT-FILE once it
listens. A POST to / is answered by `openssl ts -reply` with TSA-CONFIG; a
POST to /garbage with bytes that are no time stamp; a POST to /silent is
never answered. It stops by itself after LIFETIME-SECONDS (default 600), so
that a test run that is killed leaves no service behind.
"""
import http.server
import os
import subprocess
import sys
import tempfile
import threading
import time


class TimeStamps(http.server.BaseHTTPRequestHandler):
    config = ""

    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        if self.path == "/silent":
            time.sleep(3600)
            return
        if self.path == "/garbage":
            reply = b"this is not a time stamp"
        else:
            with tempfile.TemporaryDirectory() as folder:
                with open(os.path.join(folder, "query"), "wb") as file:
                    file.write(query)
                answer = subprocess.run(
                    ["openssl", "ts", "-reply", "-config", self.config, "-queryfile",
                     os.path.join(folder, "query"), "-out", os.path.join(folder, "reply")],
                    capture_output=True, check=False)
                if answer.returncode != 0:
                    self.send_error(500, answer.stderr.decode(errors="replace")[-200:])
                    return
                with open(os.path.join(folder, "reply"), "rb") as file:
                    reply = file.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, format, *args):
        pass


def main():
    lifetime = sys.argv[3] if len(sys.argv) == 4 else "600"
    if len(sys.argv) not in (3, 4) or not os.path.isfile(sys.argv[1]) or not lifetime.isdigit():
        print("usage: timestamp-service.py TSA-CONFIG PORT-FILE [LIFETIME-SECONDS]",
              file=sys.stderr)
        return 2
    TimeStamps.config = sys.argv[1]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), TimeStamps)
    server.daemon_threads = True
    timer = threading.Timer(int(lifetime), server.shutdown)
    timer.daemon = True
    timer.start()
    with open(sys.argv[2] + ".new", "w") as file:
        file.write(f"{server.server_address[1]}\n")
    os.rename(sys.argv[2] + ".new", sys.argv[2])
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
