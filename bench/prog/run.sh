#!/usr/bin/env bash
# Wall time of promwright writing a full main partition (61408 bytes) with verification
# against the device stand-in, next to the floor set by the EEPROM's write cycle
# (3839 chunks x 5 ms = 19.195 s). BUILD_DIR names the build; BENCH_RUNS the run count.
set -euo pipefail
build=$(realpath "${BUILD_DIR:-build}")
runs=${BENCH_RUNS:-3}
tool="$build/prog/promwright"
devsim="$build/sim/devsim/libdevsim.so"
for f in "$tool" "$devsim"; do
  [ -e "$f" ] || { echo "missing $f (build the promwright and devsim targets)" >&2; exit 1; }
done

root=$(mktemp -d "$build/bench_prog.XXXXXX")
trap 'rm -rf "$root"' EXIT
head -c 61408 /dev/urandom > "$root/data.bin"

times=()
for ((i = 1; i <= runs; i++)); do
  rm -f "$root/eeprom.bin"
  start=$(date +%s%N)
  ZENT_ROOT="$root" DEVSIM_EEPROM="$root/eeprom.bin" LD_PRELOAD="$devsim" \
    "$tool" -d "$root/data.bin" -w > "$root/out.txt" 2> "$root/err.txt" || {
      echo "run $i failed:" >&2; cat "$root/out.txt" "$root/err.txt" >&2; exit 1; }
  end=$(date +%s%N)
  grep -q "Verify header succesfulVerify data succesful" "$root/out.txt" || {
    echo "run $i: verification did not pass" >&2; exit 1; }
  times+=($(( (end - start) / 1000 )))
  echo "run $i: $(awk -v u="${times[-1]}" 'BEGIN { printf "%.3f s", u / 1e6 }')"
done

sorted=($(printf '%s\n' "${times[@]}" | sort -n))
median=${sorted[$(( runs / 2 ))]}
awk -v m="$median" -v n="$runs" 'BEGIN {
  floor = 3839 * 5000;
  printf "full main-partition write + verify (61408 bytes, %d runs): median %.3f s\n", n, m / 1e6;
  printf "write-cycle floor 3839 x 5 ms = %.3f s; ratio %.4f (goal <= 1.05)\n", floor / 1e6, m / floor;
  exit (m / floor <= 1.05) ? 0 : 1 }'
