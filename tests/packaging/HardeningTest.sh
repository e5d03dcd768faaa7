#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The programs and libraries of a build are hardened as a distribution wants them: read-only
# relocations bound at start (RELRO, BIND_NOW), position-independent executables, the stack
# protector, and fortified C library calls.
#
#   HardeningTest.sh BIN_FOLDER COMPILE_COMMANDS FILE...
#
# Fortification shows in a binary only where the compiler cannot prove a call safe (a call it can
# prove needs no check stays plain), so it is checked where it is decided: every compilation of the
# build has it, and the programs show checked calls.
#
# Exit status 0 passed, 1 failed, 77 skipped (readelf is missing).
set -uo pipefail
bin=$1 commands=$2
shift 2
command -v readelf >/dev/null || { echo "readelf is missing" >&2; exit 77; }

# Functions glibc has a checked variant of (the ones our code can reach).
fortifiable='^(memcpy|memmove|mempcpy|memset|strcpy|stpcpy|strncpy|strcat|strncat|sprintf|snprintf|vsprintf|vsnprintf|fprintf|printf|vfprintf|read|pread|readlink|getcwd|realpath|fgets|fread|wcscpy|wmemcpy|poll|ppoll|recv|recvfrom|ttyname_r|confstr|getgroups|gethostname|mbstowcs|wcstombs)$'

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

for name in "$@"; do
    file=$bin/$name
    [ -f "$file" ] || { fail "$name: not built"; continue; }
    dynamic=$(readelf -dW "$file")
    headers=$(readelf -lW "$file")
    symbols=$(readelf --dyn-syms -W "$file" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }')
    grep -q 'GNU_RELRO' <<<"$headers" || fail "$name: no RELRO segment"
    grep -Eq '\(BIND_NOW\)|\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$dynamic" || fail "$name: not bound at start (BIND_NOW)"
    if [[ $name != *.so ]]; then
        readelf -hW "$file" | grep -q 'Type:.*DYN' || fail "$name: not a position-independent executable"
        grep -Eq '\(FLAGS_1\).*PIE' <<<"$dynamic" || fail "$name: no PIE flag"
    fi
    grep -qx '__stack_chk_fail' <<<"$symbols" || fail "$name: no stack protector"
    if [[ $name != *.so ]]; then
        plain=$(grep -E "$fortifiable" <<<"$symbols" | tr '\n' ' ')
        if [ -n "$plain" ] && ! grep -Eq '^__.*_chk$' <<<"$symbols"; then
            fail "$name: calls $plain without a fortified variant"
        fi
    fi
done

# Every compilation of the build: the stack protector and fortified calls.
[ -f "$commands" ] || fail "no $commands (CMAKE_EXPORT_COMPILE_COMMANDS)"
unprotected=$(grep -o '"command": "[^"]*"' "$commands" | grep -v -e '-fstack-protector-strong' |
    grep -o '[^ ]*\.c[p]*"$' | head -n 5)
[ -z "$unprotected" ] || fail "compiled without the stack protector: $unprotected"
unfortified=$(grep -o '"command": "[^"]*"' "$commands" | grep -v -e '-D_FORTIFY_SOURCE=2' | grep -o '[^ ]*\.c[p]*"$' |
    head -n 5)
[ -z "$unfortified" ] || fail "compiled without _FORTIFY_SOURCE: $unfortified"

if [ "$failures" -ne 0 ]; then
    echo "$failures hardening fault(s)" >&2
    exit 1
fi
echo "hardened: $*"
