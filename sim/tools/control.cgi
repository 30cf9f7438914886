#!/bin/sh
# The camera's package control program, simulated: records each call as one line in
# "$ZENT_ROOT/tmp/control.cgi.calls" (arguments, then the CGI query) and succeeds.
# Without ZENT_ROOT the root is found from this script's place (<root>/usr/sbin).
if [ -n "${ZENT_ROOT:-}" ]; then
    root=${ZENT_ROOT%/}
else
    here=$(cd "$(dirname "$0")" && pwd -P)
    root=${here%/usr/sbin}
fi
mkdir -p "$root/tmp"
printf 'args=%s query=%s\n' "$*" "${QUERY_STRING:-}" >> "$root/tmp/control.cgi.calls"
exit 0
