#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# scripts/bootstrap against stand-ins for dpkg-query, apt-get and sudo on PATH: what it counts as
# installed, and how it waits for another apt run's lock on the package lists.
#
#   BootstrapTest.sh SOURCE
#
# Exit status 0 passed, 1 failed, 77 skipped (python3 is missing, it holds the lock).
set -uo pipefail
source=$1
command -v python3 >/dev/null || { echo "SKIP: python3 is missing"; exit 77; }

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

work=$(mktemp -d "${TMPDIR:-/tmp}/kx-bootstrap.XXXXXX") || exit 1
holder=
cleanup() {
    [ -n "$holder" ] && kill "$holder" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/bin"
cat >"$work/bin/dpkg-query" <<'TOOL'
#!/bin/sh
printf '%s' "$KX_FAKE_STATUS"
TOOL
cat >"$work/bin/apt-get" <<'TOOL'
#!/bin/sh
echo "apt-get $*" >>"$KX_FAKE_CALLS"
TOOL
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
chmod +x "$work/bin"/*

export PATH=$work/bin:$PATH KX_FAKE_CALLS=$work/calls KX_APT_LISTS_LOCK=$work/lists-lock
: >"$KX_APT_LISTS_LOCK"
run_bootstrap() { "$source/scripts/bootstrap" >"$work/out" 2>&1; }

# Installed, or installed with its triggers still to run: nothing to install.
for status in "install ok installed" "install ok triggers-pending" "install ok triggers-awaited"; do
    rm -f "$work/calls"
    KX_FAKE_STATUS=$status run_bootstrap || fail "bootstrap failed with every package '$status': $(cat "$work/out")"
    [ ! -e "$work/calls" ] || fail "bootstrap ran apt-get with every package '$status': $(cat "$work/calls")"
done

# Removed, or unpacked but not configured: installed again, waiting for dpkg's lock.
for status in "deinstall ok config-files" "install ok half-configured" ""; do
    rm -f "$work/calls"
    KX_FAKE_STATUS=$status run_bootstrap || fail "bootstrap failed with every package '$status': $(cat "$work/out")"
    grep -q '^apt-get .*DPkg::Lock::Timeout=[1-9][0-9]* .*update' "$work/calls" 2>/dev/null ||
        fail "bootstrap did not update the lists with a lock timeout for '$status': $(cat "$work/calls" 2>/dev/null)"
    grep -q '^apt-get .*DPkg::Lock::Timeout=[1-9][0-9]* .*install .* lintian' "$work/calls" 2>/dev/null ||
        fail "bootstrap did not install with a lock timeout for '$status': $(cat "$work/calls" 2>/dev/null)"
done

# Another apt run holds the lists' lock (fcntl, as apt takes it) until the file "release" appears.
hold_lock() {
    rm -f "$work/locked" "$work/release"
    python3 - "$KX_APT_LISTS_LOCK" "$work/locked" "$work/release" <<'PY' &
import fcntl, os, sys, time
lock = open(sys.argv[1], "w")
fcntl.lockf(lock, fcntl.LOCK_EX)
open(sys.argv[2], "w").close()
while not os.path.exists(sys.argv[3]):
    time.sleep(0.05)
PY
    holder=$!
    for _ in $(seq 200); do
        [ -e "$work/locked" ] && return 0
        sleep 0.05
    done
    fail "the lock holder did not take the lock"
}
release_lock() {
    touch "$work/release"
    wait "$holder"
    holder=
}

# Held for longer than bootstrap waits: it gives up with a message and runs no apt-get.
export KX_FAKE_STATUS="deinstall ok config-files"
hold_lock
rm -f "$work/calls"
KX_APT_LOCK_TIMEOUT=1 run_bootstrap && fail "bootstrap succeeded while the lists' lock stayed held"
grep -q "lists-lock still held" "$work/out" || fail "bootstrap gave no message about the held lock: $(cat "$work/out")"
[ ! -e "$work/calls" ] || fail "bootstrap ran apt-get while the lists' lock was held: $(cat "$work/calls")"
release_lock

# Released while bootstrap waits: it says that it waits, then goes on.
hold_lock
rm -f "$work/calls"
KX_APT_LOCK_TIMEOUT=600 "$source/scripts/bootstrap" >"$work/out" 2>&1 &
boot=$!
for _ in $(seq 600); do
    grep -q "waiting up to 600 s" "$work/out" && break
    kill -0 "$boot" 2>/dev/null || break
    sleep 0.05
done
grep -q "waiting up to 600 s" "$work/out" || fail "bootstrap did not say that it waits for the lock: $(cat "$work/out")"
[ ! -e "$work/calls" ] || fail "bootstrap ran apt-get before the lock was released: $(cat "$work/calls")"
release_lock
wait "$boot" || fail "bootstrap failed after the lock was released: $(cat "$work/out")"
grep -q '^apt-get .*update' "$work/calls" 2>/dev/null || fail "bootstrap did not update the lists after the lock was released"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all checks passed"
