#!/usr/bin/python3
# Measures GET /local/tallyo/status latency against a running launcher: one persistent
# connection, N requests, prints the median and the 99th percentile in microseconds.
import http.client
import json
import sys
import time


def main():
    port, count, label = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    samples = []
    states = set()
    for _ in range(count):
        t0 = time.perf_counter()
        conn.request("GET", "/local/tallyo/status")
        r = conn.getresponse()
        body = r.read()
        samples.append((time.perf_counter() - t0) * 1e6)
        if r.status != 200:
            sys.exit("status page answered %d" % r.status)
        states.add(json.loads(body)["status"])
    conn.close()
    samples.sort()
    median = samples[len(samples) // 2]
    p99 = samples[min(len(samples) - 1, int(len(samples) * 0.99))]
    print("%-28s n=%d median=%.0f us p99=%.0f us states=%s"
          % (label, count, median, p99, ",".join(sorted(states))))
    print("RESULT %s %.1f %.1f" % (label, median, p99))


if __name__ == "__main__":
    main()
