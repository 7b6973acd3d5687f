#!/usr/bin/env python3
"""tsa-server.py DIR PORT_FILE: an RFC 3161 time-stamping service for the signing tests.

Listens on the loopback address on a free port that the system picks, writes the port to
PORT_FILE, and answers each POST of a time-stamp query with `openssl ts -reply`, signed with
the throwaway chain's time-stamping certificate in DIR (tsa.pem, tsa.key). It serves at most
50 requests and stops by itself after 10 minutes, whatever happens to the test that started it.
"""
import http.server
import os
import subprocess
import sys
import tempfile
import threading

chain = os.path.abspath(sys.argv[1])
config = os.path.join(chain, "tsa.cnf")
with open(config, "w") as f:
    f.write(f"""[tsa]
default_tsa = throwaway
[throwaway]
serial = {chain}/tsa.serial
signer_cert = {chain}/tsa.pem
signer_key = {chain}/tsa.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512, sha1
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_alg = sha256
""")
with open(os.path.join(chain, "tsa.serial"), "w") as f:
    f.write("01\n")


class Stamp(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with tempfile.TemporaryDirectory() as work:
            with open(os.path.join(work, "query"), "wb") as f:
                f.write(query)
            made = subprocess.run(["openssl", "ts", "-reply", "-config", config,
                                   "-queryfile", os.path.join(work, "query"),
                                   "-out", os.path.join(work, "reply")], capture_output=True)
            if made.returncode != 0:
                self.send_error(500, made.stderr.decode(errors="replace")[:200])
                return
            with open(os.path.join(work, "reply"), "rb") as f:
                reply = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        sys.stderr.write("tsa-server: " + (args[0] % args[1:]) + "\n")


server = http.server.HTTPServer(("127.0.0.1", 0), Stamp)
with open(sys.argv[2] + ".new", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(sys.argv[2] + ".new", sys.argv[2])
threading.Timer(600, lambda: os._exit(0)).start()
for _ in range(50):
    server.handle_request()
os._exit(0)
