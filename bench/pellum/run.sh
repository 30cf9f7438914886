#!/usr/bin/env bash
# Launcher service figures: status-page latency (median, 99th percentile) idle and while a
# download keeps the worker busy, the launcher's CPU while idle with the application running,
# and its memory (VmRSS, Pss, Private_Dirty) idle, after 100 tasks and after 100 more.
# Needs BUILD_DIR (a configured and built tree).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$(realpath "${BUILD_DIR:?BUILD_DIR names the build tree}")
py=/usr/bin/python3
requests=${PELLUM_BENCH_REQUESTS:-2000}
idle_seconds=${PELLUM_BENCH_IDLE_SECONDS:-30}

work=$(mktemp -d /tmp/pellum-bench.XXXXXX)
pellum_pid=""
server_pid=""
cleanup() {
    [ -n "$pellum_pid" ] && kill -TERM "$pellum_pid" 2>/dev/null && wait "$pellum_pid" 2>/dev/null || true
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

root=$work/root
"$py" "$src/sim/make-camera-root" "$root" --install "$build/sim/app/package.tar.gz"

# A download that lasts 25 s: long enough to measure under.
"$py" "$here/slow_server.py" "$build/sim/app/package.tar.gz" 25 > "$work/server.port" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/server.port" ] && break; sleep 0.1; done
server_port=$(cat "$work/server.port")

port=$("$py" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
ZENT_ROOT=$root QLHTTP_PORT=$port DOWNLOAD_URL="http://127.0.0.1:$server_port/" \
    "$build/pellum/pellum" > "$work/pellum.log" 2>&1 &
pellum_pid=$!

status() { curl -s "http://127.0.0.1:$port/local/tallyo/status" || true; }
wait_status() {
    local want=$1 deadline=$((SECONDS + 60))
    until status | grep -q "\"status\": \"$want\""; do
        [ $SECONDS -lt $deadline ] || { echo "bench: status never became $want" >&2; exit 1; }
        sleep 0.2
    done
}
# The real 5000 ms checks promote the application to running.
wait_status running

"$py" "$here/status_client.py" "$port" "$requests" "idle" | tee "$work/idle.txt"

curl -s -X POST "http://127.0.0.1:$port/local/tallyo/cmd/download" > /dev/null
wait_status downloading
"$py" "$here/status_client.py" "$port" "$requests" "download-running" | tee "$work/busy.txt"
status | grep -q '"status": "downloading"' ||
    echo "bench: note: the download ended before the measurement did" >&2
wait_status downloaded

# Idle with the application running: resident memory and CPU over the interval.
ticks=$(getconf CLK_TCK)
cpu() { awk '{ split($0, a, ") "); split(a[2], f, " "); print f[12] + f[13] }' "/proc/$pellum_pid/stat"; }
c0=$(cpu)
sleep "$idle_seconds"
c1=$(cpu)
cpu_pct=$(awk -v d=$((c1 - c0)) -v t="$ticks" -v s="$idle_seconds" 'BEGIN { printf "%.3f", 100 * d / t / s }')
echo "idle (application running): CPU ${cpu_pct}% over ${idle_seconds} s ($((c1 - c0)) ticks)"

# Memory: what the process holds in RAM (VmRSS), its share of it counting shared pages once
# (Pss), and what is its alone and written (Private_Dirty: heap, stacks, written data), with
# the address space reserved (VmSize).
memory() {
    local rollup=/proc/$pellum_pid/smaps_rollup
    local rss pss pd vsz
    rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$pellum_pid/status")
    vsz=$(awk '/^VmSize/ { print $2 }' "/proc/$pellum_pid/status")
    pss=$(awk '/^Pss:/ { print $2 }' "$rollup")
    pd=$(awk '/^Private_Dirty:/ { print $2 }' "$rollup")
    printf "memory %-24s VmRSS=%5d kB  Pss=%5d kB  Private_Dirty=%5d kB  VmSize=%6d kB\n" \
        "$1:" "$rss" "$pss" "$pd" "$vsz"
    echo "$pd" > "$work/pd.$2"
}
memory "idle" 0
# 100 download tasks at full speed, then 100 more.
curl -s "http://127.0.0.1:$server_port/seconds/0" > /dev/null
"$py" "$here/tasks.py" "$port" 100
memory "after 100 tasks" 100
"$py" "$here/tasks.py" "$port" 100
memory "after 200 tasks" 200
# Fresh connections cost the simulated HTTP library a little each (libsoup's listener keeps
# every accepted socket object); shown apart, since the camera's own library serves there.
"$py" -c 'import http.client, sys
for _ in range(500):
    c = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=10)
    c.request("GET", "/local/tallyo/status"); c.getresponse().read(); c.close()' "$port"
memory "after 500 connections" 500
awk -v a="$(cat "$work/pd.0")" -v b="$(cat "$work/pd.100")" -v c="$(cat "$work/pd.200")" 'BEGIN {
    printf "memory Private_Dirty growth: first 100 tasks %+d kB, next 100 tasks %+d kB; ratio after-200/idle %.2f\n", b - a, c - b, c / a }'
awk -v c="$(cat "$work/pd.200")" -v d="$(cat "$work/pd.500")" 'BEGIN {
    printf "memory Private_Dirty growth over 500 fresh connections (HTTP stand-in): %+d kB, %.2f kB each\n", d - c, (d - c) / 500 }'

read -r _ _ im ip < <(grep RESULT "$work/idle.txt")
read -r _ _ bm bp < <(grep RESULT "$work/busy.txt")
awk -v im="$im" -v bm="$bm" -v ip="$ip" -v bp="$bp" \
    'BEGIN { printf "ratio download-running/idle: median %.2f, p99 %.2f\n", bm / im, bp / ip }'

kill -TERM "$pellum_pid"
rc=0
wait "$pellum_pid" || rc=$?
pellum_pid=""
echo "pellum exit status after SIGTERM: $rc"
