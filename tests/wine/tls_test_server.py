#!/usr/bin/env python3
"""An HTTPS server on 127.0.0.1 for the Wine tests of certificate checks.

  tls_test_server.py PORT_FILE SECONDS CERT KEY

Writes its port to PORT_FILE and serves /ok ("hello, updater") for SECONDS.
"""
import http.server
import os
import ssl
import sys
import threading


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        found = self.path == "/ok"
        body = b"hello, updater" if found else b"not here"
        self.send_response(200 if found else 404)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    def log_message(self, *args):
        pass


def main():
    port_file, seconds, cert, key = sys.argv[1], min(int(sys.argv[2]), 600), sys.argv[3], sys.argv[4]
    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    with open(port_file + ".tmp", "w") as out:
        out.write("%d\n" % server.server_address[1])
    os.replace(port_file + ".tmp", port_file)
    threading.Event().wait(seconds)


if __name__ == "__main__":
    main()
