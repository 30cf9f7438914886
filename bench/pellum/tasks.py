#!/usr/bin/python3
# Runs N download tasks through a running launcher, the commands on one kept-alive connection
# (the simulated HTTP library loses a little memory per connection, which is not the
# launcher's), re-sent after "Too many jobs queued." so that the queue stays full; returns
# once the worker has finished them (the status rests at "downloaded").
import http.client
import json
import sys
import time


def request(conn, method, path):
    conn.request(method, path)
    r = conn.getresponse()
    return r.status, r.read()


def main():
    port, count = int(sys.argv[1]), int(sys.argv[2])
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    accepted = refused = 0
    t0 = time.monotonic()
    while accepted < count:
        status, _ = request(conn, "POST", "/local/tallyo/cmd/download")
        if status == 200:
            accepted += 1
        else:
            refused += 1
            time.sleep(0.05)
    # The worker takes a waiting task within its 2 s poll: three quiet seconds mean done.
    quiet_since = time.monotonic()
    while time.monotonic() - quiet_since < 3.0:
        state = json.loads(request(conn, "GET", "/local/tallyo/status")[1])["status"]
        if state != "downloaded":
            quiet_since = time.monotonic()
        time.sleep(0.1)
    conn.close()
    print("tasks: %d run in %.1f s (%d commands refused while the queue was full)"
          % (accepted, time.monotonic() - t0 - 3.0, refused))


if __name__ == "__main__":
    main()
