#!/usr/bin/env python3
"""Serves a folder on 127.0.0.1 for the browser test and keeps what a page posts to /report.

    page_server.py <folder> <port file> <report file>
"""
import http.server
import os
import sys

folder, port_file, report_file = sys.argv[1:4]


class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=folder, **kwargs)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        if self.path == "/report":
            with open(report_file + ".part", "wb") as out:
                out.write(body)
            os.replace(report_file + ".part", report_file)
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
with open(port_file + ".part", "w") as out:
    out.write(str(server.server_address[1]))
os.replace(port_file + ".part", port_file)
server.serve_forever()
