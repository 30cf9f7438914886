#!/bin/sh
# The package's own installer: unpacks the downloaded archive over the installed package.
# The camera root is found from this script's own location.
main() {
    here=$(cd "$(dirname "$0")" && pwd -P) || return 1
    root=${here%/usr/local/packages/tallyo/package}
    mkdir -p "$root/tmp"
    echo "update.sh (@LABEL@): installing $root/tmp/package.tar.gz" >> "$root/tmp/update-sh.log"
    @BODY@
}
# One line, parsed whole before it runs: the unpack replaces this very file.
main "$@"; exit $?
