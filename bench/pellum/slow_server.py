#!/usr/bin/python3
# Serves one file under the package name, spreading the body over a given number of seconds,
# so that a download keeps the launcher's worker busy; GET /seconds/<s> changes the spread
# (0: at once). Prints its port, then serves.
import http.server
import sys
import time

NAME = "/vendle_tallyo_5_v1-6plus"


def main():
    path = sys.argv[1]
    spread = {"seconds": float(sys.argv[2])}
    with open(path, "rb") as f:
        body = f.read()

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            if self.path.startswith("/seconds/"):
                spread["seconds"] = float(self.path[len("/seconds/"):])
                self.send_response(204)
                self.end_headers()
                return
            if self.path != NAME:
                self.send_response(404)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            seconds = spread["seconds"]
            chunks = 100 if seconds > 0 else 1
            step = max(1, (len(body) + chunks - 1) // chunks)
            for i in range(0, len(body), step):
                self.wfile.write(body[i:i + step])
                self.wfile.flush()
                if seconds > 0:
                    time.sleep(seconds / chunks)

    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    print(httpd.server_address[1], flush=True)
    httpd.serve_forever()


if __name__ == "__main__":
    main()
