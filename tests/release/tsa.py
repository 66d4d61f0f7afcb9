#!/usr/bin/env python3
"""A throwaway RFC 3161 time-stamping authority on the loopback, for the
signing test: answers each query with `openssl ts -reply`.
Usage: tsa.py OPENSSL_TS_CONFIG   (prints its port, then serves until killed)"""

import http.server
import subprocess
import sys
import tempfile


class TimeStamps(http.server.BaseHTTPRequestHandler):
    def do_POST(self):  # noqa: N802 (the name http.server calls)
        with tempfile.NamedTemporaryFile() as query:
            query.write(self.rfile.read(int(self.headers["Content-Length"])))
            query.flush()
            reply = subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1], "-queryfile", query.name],
                                   capture_output=True, check=True, timeout=30).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamps)
print(server.server_address[1], flush=True)
server.serve_forever()
