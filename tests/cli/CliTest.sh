#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The real kx2700 against virtual keys made with kx2700-keysim (mode keysim), and against a
# SoftHSM2 token (mode softhsm), in a home folder of its own:
#   CliTest.sh keysim|softhsm BIN_DIR [SOFTHSM_MODULE]
# Each group checks a command's text and JSON output (parsed with python3) and its exit code:
# 0 done, 1 refused, 2 bad input, 3 no key, 4 wrong PIN, 5 PIN locked, 6 device error.
set -uo pipefail

mode=$1
bin=$(cd "$2" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
softhsm_module=${3:-}
kx=$bin/kx2700
keysim=$bin/kx2700-keysim

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_DATA_HOME=$work/home/.local/share XDG_CONFIG_HOME=$work/home/.config
export XDG_RUNTIME_DIR=$work/run KX2700_KEYSIM_DIR=$work/keys
export KX2700_SYSTEM_APPINFO=$work/APPInfo.ini
mkdir -p "$HOME/KeyLog" "$XDG_RUNTIME_DIR" "$work/files"
chmod 700 "$XDG_RUNTIME_DIR"
cd "$work/files" || exit 1

# The system's python3 (a version manager's shim in front of it takes half a second a start).
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# run EXPECTED_CODE ARGS...: runs kx2700; its standard output is in $out, its errors in $err.
run() {
    local expected=$1 code
    shift
    out=$("$kx" "$@" 2>"$work/err")
    code=$?
    err=$(cat "$work/err")
    [ "$code" = "$expected" ] || fail "kx2700 $* exited $code, not $expected (stderr: $err)"
}

# json EXPRESSION: evaluates EXPRESSION over the JSON document in $out (as d).
json() {
    "$python" -c 'import json, sys; d = json.loads(sys.stdin.read()); print(eval(sys.argv[1]))' "$1" <<<"$out" ||
        { fail "not JSON or no $1: $out"; echo "?"; }
}

# expect WHAT ACTUAL EXPECTED
expect() {
    [ "$2" = "$3" ] || fail "$1: '$2', not '$3'"
}

make_files() {
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=KX2700 Test CA" \
        -addext "basicConstraints=critical,CA:TRUE" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -keyout user.key -out user.csr -subj "/CN=Command Line User/O=KX2700 Test" \
        2>/dev/null
    openssl x509 -req -in user.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out user.pem -days 30 2>/dev/null
    openssl pkcs12 -export -inkey user.key -in user.pem -passout pass:S3cret-pass -out user.p12 2>/dev/null
    openssl x509 -in user.pem -outform der -out user.der
    printf 'S3cret-pass\n' >password
    head -c 300 /dev/urandom >garbage.p12
}

# --- keysim --------------------------------------------------------------------------------

usage_group() {
    run 0 --help
    [[ $out == *"exit codes"* ]] || fail "--help shows no exit codes"
    run 0 --version
    [[ $out == "kx2700 "[0-9]* ]] || fail "--version: $out"
    run 2 frobnicate
    run 2 list --pem
    run 2 export onlyone
    # A PIN is never taken as an argument, in either form.
    run 2 delete c --yes --pin 31415926
    [[ $err == *"never taken on the command line"* ]] || fail "--pin is not refused: $err"
    run 2 delete c --yes --pin=31415926
    run 2 delete c --pin-fd notanumber
}

no_key_group() {
    run 3 list
    [[ $err == *"no key is plugged"* ]] || fail "no key: $err"
    run 3 --json info
    expect "no-key kind" "$(json 'd["error"]["kind"]')" no-key
    expect "no-key exit code" "$(json 'd["exitCode"]')" 3
    # A module that cannot be loaded is a device error.
    printf '[APPLib]\nPKCS11Lib=%s/no-such-module.so\n' "$work" >"$KX2700_SYSTEM_APPINFO"
    run 6 list
    rm -f "$KX2700_SYSTEM_APPINFO"
}

one_key_group() {
    "$keysim" create --serial KXCLI00001 --label "Cli key" --pin 12345678 --max-retries 6 >/dev/null
    run 0 list
    [[ $out == *KXCLI00001*"Cli key"*"6 of 6 tries left"* ]] || fail "list text: $out"
    run 0 --json list
    expect "list serial" "$(json 'd["keys"][0]["serial"]')" KXCLI00001
    expect "list label" "$(json 'd["keys"][0]["label"]')" "Cli key"
    expect "list tries" "$(json 'd["keys"][0]["pin"]["triesLeft"]')" 6
    expect "list ok" "$(json 'd["ok"]')" True
    run 0 --json info
    expect "info serial" "$(json 'd["key"]["serial"]')" KXCLI00001
    expect "info memory" "$(json 'd["key"]["totalMemory"]')" 65536
    expect "info PIN lengths" "$(json '(d["key"]["minPinLength"], d["key"]["maxPinLength"])')" "(6, 16)"
    run 0 info
    [[ $out == *"Serial:"*KXCLI00001* ]] || fail "info text: $out"
}

import_export_group() {
    # The PIN from a descriptor, the password from a file.
    run 0 --json import user.p12 --container mine --password-file password --pin-fd 3 3<<<12345678
    expect "import count" "$(json 'd["certificates"]')" 1
    run 0 --json certs
    expect "containers" "$(json '[c["name"] for c in d["containers"]]')" "['mine']"
    expect "subject" "$(json 'd["containers"][0]["exchange"]["subject"]')" "Command Line User"
    expect "issuer" "$(json 'd["containers"][0]["exchange"]["issuer"]')" "KX2700 Test CA"
    expect "kind" "$(json 'd["containers"][0]["exchange"]["kind"]')" end-entity
    expect "key" "$(json '(d["containers"][0]["exchange"]["keyAlgorithm"], d["containers"][0]["exchange"]["keyBits"])')" \
        "('RSA', 2048)"
    expect "not after" "$(json 'd["containers"][0]["exchange"]["notAfter"]')" \
        "$(date -u -d "$(openssl x509 -in user.pem -noout -enddate | cut -d= -f2)" +%F)"
    expect "empty pair" "$(json 'd["containers"][0]["signature"]')" None
    run 0 certs
    [[ $out == *"container mine"*"subject: Command Line User"*"key:     RSA 2048"*"signature: no certificate"* ]] ||
        fail "certs text: $out"

    run 0 export mine exchange -o exported.der
    cmp -s exported.der user.der || fail "the exported DER is not the imported certificate"
    run 0 export mine exchange --pem -o exported.pem
    expect "PEM export" "$(cat exported.pem)" "$(openssl x509 -in user.pem)"
    run 0 export mine exchange --pem
    expect "PEM to standard output" "$out" "$(openssl x509 -in user.pem)"
    run 0 --json export mine exchange
    expect "JSON data" "$(json 'd["data"]')" "$(base64 -w0 user.der)"
    # The authority is not on this key: the chain is the certificate alone.
    run 0 export mine exchange --chain
    expect "chain without its authority" "$out" "$(openssl x509 -in user.pem)"
    run 2 certs --chain
    run 1 export mine signature -o nothing.der
    [ -e nothing.der ] && fail "a failed export left a file"
    run 2 export mine exchange -o "$work/no-such-folder/x.der"

    # The same pair again, and X.509 into the signature pair (with the PIN from a file).
    printf '12345678\n' >pin
    run 1 import user.p12 --container mine --password-file password --pin-file pin
    run 0 import user.der --container mine --pair signature --pin-file pin
    run 0 --json certs
    expect "X.509 into signature" "$(json 'd["containers"][0]["signature"]["keyBits"]')" 2048
}

store_group() {
    # The monitor's store: the key's end-entity certificates in MY, bound to their container.
    local my=$XDG_DATA_HOME/kx2700/certstore/MY
    run 0 --json register
    expect "registered containers" "$(json 'd["containers"]')" "['mine']"
    # Both pairs hold the same certificate: one file in MY, bound to the container.
    expect "registered certificates" "$(grep -l '^Container=mine' "$my"/*.keyprov 2>/dev/null | wc -l)" 1
    [ -f "$my/$(openssl x509 -in user.pem -noout -fingerprint -sha1 | cut -d= -f2 | tr -d :).cer" ] ||
        fail "the certificate is not in MY under its SHA-1"
    run 0 unregister
    expect "certificates after unregister" "$(ls "$my"/*.cer 2>/dev/null | wc -l)" 0
}

bad_file_group() {
    run 2 import "$work/none.p12" --pin-file pin --password-file password
    run 2 --json import garbage.p12 --container g --pin-file pin --password-file password
    expect "bad file kind" "$(json 'd["error"]["kind"]')" bad-input
    printf 'wrong\n' >wrong-password
    run 2 import user.p12 --container g --pin-file pin --password-file wrong-password
    [[ $err == *"wrong password"* ]] || fail "wrong password: $err"
    run 2 delete mine --yes --pin-file "$work/no-such-pin-file"
    # None of these spent a try or wrote to the key.
    run 0 --json list
    expect "tries after bad files" "$(json 'd["keys"][0]["pin"]["triesLeft"]')" 6
    run 0 --json certs
    expect "containers after bad files" "$(json '[c["name"] for c in d["containers"]]')" "['mine']"
}

wrong_pin_group() {
    local tries
    printf '87654321\n' >bad-pin
    for tries in 5 4; do
        run 4 --json delete mine --yes --pin-file bad-pin
        expect "tries left after a wrong PIN" "$(json 'd["error"]["triesLeft"]')" "$tries"
        run 0 --json list
        expect "tries left listed" "$(json 'd["keys"][0]["pin"]["triesLeft"]')" "$tries"
    done
    run 4 delete mine --yes --pin-file bad-pin
    [[ $err == *"wrong PIN, 3 tries left"* ]] || fail "wrong PIN text: $err"
    run 0 --json certs
    expect "nothing deleted with a wrong PIN" "$(json 'len(d["containers"])')" 1
    # Not on a terminal, a deletion needs --yes; nothing is asked and nothing deleted.
    run 2 delete mine --pin-file pin </dev/null
    run 0 --json list
    expect "tries after a refused deletion" "$(json 'd["keys"][0]["pin"]["triesLeft"]')" 3
    # The right PIN: the signature certificate goes, the exchange pair stays, and the count is full again.
    run 2 delete mine --pair signature --yes --pin-env KX_TEST_PIN_VARIABLE
    [[ $err == *"KX_TEST_PIN_VARIABLE is not set"* ]] || fail "unset PIN variable: $err"
    export KX_TEST_PIN_VARIABLE=12345678
    run 0 --json delete mine --pair signature --yes --pin-env KX_TEST_PIN_VARIABLE
    unset KX_TEST_PIN_VARIABLE
    expect "deleted pair" "$(json 'd["pair"]')" signature
    run 0 --json list
    expect "tries after the right PIN" "$(json 'd["keys"][0]["pin"]["triesLeft"]')" 6
    run 0 --json certs
    expect "exchange pair kept" "$(json '(d["containers"][0]["exchange"] is not None, d["containers"][0]["signature"])')" \
        "(True, None)"
}

rename_change_group() {
    run 0 rename "Renamed key"
    run 0 --json list
    expect "label after rename" "$(json 'd["keys"][0]["label"]')" "Renamed key"
    run 2 rename "a label that is far longer than the key takes"
    run 2 rename "   "
    run 0 --json list
    expect "label after refused renames" "$(json 'd["keys"][0]["label"]')" "Renamed key"
    # Current PIN on the first line, the new one on the second.
    printf '12345678\nKx2700!new\n' >change
    run 2 change-pin --pin-fd 3 3<<<12345678
    printf '12345678\nweakweak\n' >weak
    run 2 change-pin --pin-file weak
    run 0 change-pin --pin-file change
    run 0 --json list
    expect "PIN state after the change" "$(json 'd["keys"][0]["pin"]["state"]')" ok
    run 4 delete mine --yes --pin-file pin
    printf 'Kx2700!new\n' >new-pin
    run 0 delete mine --yes --pin-file new-pin
    run 0 --json certs
    expect "containers after deletion" "$(json 'd["containers"]')" "[]"
}

two_keys_group() {
    "$keysim" create --serial KXCLI00002 --label "Second" --pin 12345678 --max-retries 3 >/dev/null
    run 2 info
    [[ $err == *KXCLI00001*KXCLI00002*"--key"* ]] || fail "two keys without --key: $err"
    run 0 --json list
    expect "two keys listed" "$(json '[k["serial"] for k in d["keys"]]')" "['KXCLI00001', 'KXCLI00002']"
    run 0 --json info --key KXCLI00002
    expect "the named key" "$(json 'd["key"]["label"]')" Second
    run 0 --json list --key KXCLI00002
    expect "list of the named key" "$(json '[k["serial"] for k in d["keys"]]')" "['KXCLI00002']"
    run 3 info --key KXNOSUCHKEY
}

locked_group() {
    # Three tries: two wrong PINs leave one, the third locks the PIN.
    # A container that is not there: refused before a PIN is asked for, no try spent.
    run 1 --json delete c --key KXCLI00002 --yes --pin-file bad-pin
    expect "no container" "$(json 'd["error"]["kind"]')" failed
    run 0 import user.der --key KXCLI00002 --container c --pin-file pin
    run 4 delete c --key KXCLI00002 --yes --pin-file bad-pin
    run 4 delete c --key KXCLI00002 --yes --pin-file bad-pin
    run 5 --json delete c --key KXCLI00002 --yes --pin-file bad-pin
    expect "locked kind" "$(json 'd["error"]["kind"]')" pin-locked
    # Once locked, no PIN is read (a missing PIN file is not even opened) and nothing changes.
    run 5 delete c --key KXCLI00002 --yes --pin-file "$work/no-such-pin-file"
    run 5 change-pin --key KXCLI00002 --pin-file change
    run 0 --json list --key KXCLI00002
    expect "locked state" "$(json 'd["keys"][0]["pin"]["state"]')" locked
}

secrets_group() {
    # The operation log holds the library's calls, never a PIN or password the commands used.
    local log
    log=$(cat "$HOME"/KeyLog/* 2>/dev/null)
    [[ $log == *token_login* ]] || fail "the operation log holds no login"
    local secret
    for secret in 12345678 87654321 Kx2700!new S3cret-pass weakweak; do
        [[ $log == *"$secret"* ]] && fail "the operation log holds '$secret'"
    done
    # While kx2700 waits for its PIN, its command line holds none.
    mkfifo pin-pipe
    "$kx" change-pin --key KXCLI00001 --pin-file pin-pipe >/dev/null 2>&1 &
    local pid=$! args=""
    for _ in $(seq 400); do
        [ -e "/proc/$pid/cmdline" ] || break
        args=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)
        [[ $args == *pin-pipe* ]] && break
        sleep 0.05
    done
    [[ $args == *"change-pin --key KXCLI00001 --pin-file pin-pipe"* ]] || fail "command line of kx2700: $args"
    # The writer waits for kx2700 to open the pipe; it is ended should kx2700 be gone first.
    printf 'Kx2700!new\nKx2700!two\n' >pin-pipe &
    local writer=$!
    wait "$pid" || fail "change-pin through a pipe exited $?"
    kill "$writer" 2>/dev/null
    wait "$writer" 2>/dev/null
}

terminal_group() {
    # On a terminal the PINs are asked without echo: the terminal never shows them.
    printf 'Kx2700!two\nKx2700!tty\nKx2700!tty\n' >answers
    out=$("$python" "$here/TerminalPrompt.py" "$kx" answers change-pin --key KXCLI00001)
    [[ $out == *"Current PIN of key KXCLI00001:"*"New PIN:"*"New PIN again:"*"exit 0" ]] || fail "change-pin on a terminal: $out"
    [[ $out == *Kx2700!t* ]] && fail "the terminal showed a PIN: $out"
    # A deletion asks first; no answer but yes deletes nothing.
    printf 'Kx2700!tty\n' >tty-pin
    run 0 import user.der --key KXCLI00001 --container asked --pin-file tty-pin
    printf 'n\n' >answers
    out=$("$python" "$here/TerminalPrompt.py" "$kx" answers delete asked --key KXCLI00001)
    [[ $out == *"Delete container 'asked' with its keys and certificates? [y/N]"*"nothing deleted"*"exit 1" ]] ||
        fail "a declined deletion: $out"
    printf 'y\nKx2700!tty\n' >answers
    out=$("$python" "$here/TerminalPrompt.py" "$kx" answers delete asked --key KXCLI00001)
    [[ $out == *"PIN of key KXCLI00001:"*"container 'asked' deleted"*"exit 0" ]] || fail "a confirmed deletion: $out"
    [[ $out == *Kx2700!tty* ]] && fail "the terminal showed the PIN: $out"
    grep -q 'Kx2700!tty' "$HOME"/KeyLog/* && fail "the operation log holds the PIN typed on the terminal"
}

pkcs7_group() {
    # A PKCS#7 file with the certificate and its authority: the authority goes into a container of
    # its own as a signature certificate.
    "$keysim" create --serial KXCLI00003 --label "PKCS#7 key" --pin 12345678 >/dev/null
    printf '12345678\n' >pin3
    openssl crl2pkcs7 -nocrl -certfile user.pem -certfile ca.pem -outform DER -out chain.p7b
    run 0 --json import chain.p7b --key KXCLI00003 --pin-file pin3
    expect "PKCS#7 certificates" "$(json 'd["certificates"]')" 2
    expect "PKCS#7 container" "$(json 'd["container"]')" chain
    run 0 --json certs --key KXCLI00003
    expect "PKCS#7 end entity" "$(json '[c["exchange"]["subject"] for c in d["containers"] if c["name"] == "chain"]')" \
        "['Command Line User']"
    expect "PKCS#7 authority" "$(json '[c["signature"]["kind"] for c in d["containers"] if c["name"] != "chain" and c["signature"]]')" \
        "['root']"
    # The chain: the certificate, then the authority that issued it, from the key.
    run 0 export chain exchange --chain --key KXCLI00003 -o chain.pem
    expect "exported chain" "$(cat chain.pem)" "$(openssl x509 -in user.pem; openssl x509 -in ca.pem)"
    run 0 --json export chain exchange --chain --key KXCLI00003
    expect "chain in JSON" "$(json '(d["certificates"], d["format"])')" "(2, 'pem')"
}

# key_of_request FILE [der]: the public key of a certificate request, after its signature was checked.
key_of_request() {
    openssl req -in "$1" ${2:+-inform DER} -verify -noout -pubkey 2>/dev/null
}

generate_group() {
    "$keysim" create --serial KXCLI00004 --label "Generation key" --pin 12345678 >/dev/null
    printf '12345678\n' >pin4
    printf '87654321\n' >bad-pin
    # Refused before the key is asked: no common name, a bad country or address, an unknown
    # algorithm, a PIN on the command line.
    run 2 generate --key KXCLI00004 --pin-file pin4
    [[ $err == *"--cn"* ]] || fail "generate without a common name: $err"
    run 2 --json generate --key KXCLI00004 --cn "Gen" --c DEU --pin-file pin4
    expect "bad country" "$(json 'd["error"]["kind"]')" bad-input
    run 2 generate --key KXCLI00004 --cn "Gen" --email "no-address" --pin-file pin4
    run 2 generate --key KXCLI00004 --cn "Gen" --email "名@example.org" --pin-file pin4
    run 2 generate --key KXCLI00004 --cn "$(printf 'x%.0s' {1..65})" --pin-file pin4
    run 2 generate --key KXCLI00004 --cn "Gen" --algorithm rsa1024 --pin-file pin4
    run 2 generate --key KXCLI00004 --cn "Gen" --pin 12345678
    run 2 list --cn "Gen"
    run 2 request --key KXCLI00004 --cn "Gen" --algorithm p256
    # A pair of the chosen kind in a new container, with the request in JSON.
    run 0 --json generate --key KXCLI00004 --cn "Gen User" --o "KX2700 Test" --c de --email gen@example.org \
        --container gen --pair exchange --algorithm p256 --pem --pin-file pin4
    expect "generated" "$(json '(d["container"], d["pair"], d["algorithm"], d["newContainer"], d["format"])')" \
        "('gen', 'exchange', 'p256', True, 'pem')"
    json 'd["data"]' >gen.csr
    openssl req -in gen.csr -verify -noout 2>/dev/null || fail "the generated request does not verify"
    expect "request subject" "$(openssl req -in gen.csr -noout -subject)" \
        "subject=C = DE, O = KX2700 Test, CN = Gen User, emailAddress = gen@example.org"
    # The other pair of the same container, DER into a file; the default algorithm is the first offered.
    run 0 --json generate --key KXCLI00004 --cn "Signer" --container gen -o sig.der --pin-file pin4
    expect "second pair" "$(json '(d["pair"], d["algorithm"], d["newContainer"], d["file"])')" \
        "('signature', 'rsa2048', False, 'sig.der')"
    key_of_request sig.der der | grep -q "BEGIN PUBLIC KEY" || fail "the DER request does not verify"
    # A pair that holds keys: refused before any PIN is read (the PIN file is not there).
    run 1 generate --key KXCLI00004 --cn "Again" --container gen --pair exchange --pin-file "$work/no-such-pin-file"
    [[ $err == *"exchange pair of container 'gen' holds"* ]] || fail "occupied pair: $err"
    # A new request for the pair that has its keys: the same public key, a new subject.
    run 0 request gen --key KXCLI00004 --pair exchange --cn "Renewed" --pin-file pin4 -o again.der
    expect "request for the same key" "$(key_of_request again.der der)" "$(key_of_request gen.csr)"
    expect "renewed subject" "$(openssl req -in again.der -inform DER -noout -subject)" \
        "subject=CN = Renewed"
    run 0 --json request gen --key KXCLI00004 --cn "Renewed" --pin-file pin4
    expect "request pair defaults to signature" "$(json '(d["pair"], d["format"])')" "('signature', 'der')"
    run 1 request nothere --key KXCLI00004 --cn "X" --pin-file pin4
    # A wrong PIN: one try spent, nothing generated.
    run 4 generate --key KXCLI00004 --cn "Gen" --container wrong --pin-file bad-pin
    run 4 request gen --key KXCLI00004 --cn "X" --pin-file bad-pin
    run 0 --json certs --key KXCLI00004
    expect "containers after generation" "$(json '[c["name"] for c in d["containers"]]')" "['gen']"
    run 0 --json list --key KXCLI00004
    expect "tries after generation" "$(json 'd["keys"][0]["pin"]["triesLeft"]')" 4
    run 2 --json request gen --key KXCLI00004 --pair exchange --cn "X" --pin-file pin4 -o "$work/no-such-folder/x.der"
    run 0 --json list --key KXCLI00004
    expect "tries after a good PIN" "$(json 'd["keys"][0]["pin"]["triesLeft"]')" 6
    # A pair without keys has nothing to sign with.
    run 0 import user.der --key KXCLI00004 --container certonly --pin-file pin4
    run 1 request certonly --key KXCLI00004 --pair signature --cn "X" --pin-file pin4
    [[ $err == *"has no keys"* ]] || fail "request without keys: $err"
}

unlock_group() {
    "$keysim" create --serial KXCLI00005 --label "Locked key" --pin 12345678 >/dev/null
    "$keysim" set KXCLI00005 --user-retries 0 >/dev/null
    run 0 --json unlock-request --key KXCLI00005
    local request code
    request=$(json 'd["request"]')
    [[ $request =~ ^[0-9A-F]{16}$ ]] || fail "unlock request code: $request"
    run 0 unlock-request --key KXCLI00005
    [[ $out == "request code of key KXCLI00005: "[0-9A-F]* ]] || fail "unlock-request text: $out"
    request=${out##*: }
    code=$("$keysim" unlock-code KXCLI00005 "$request")
    # The initial PIN first, then the new one.
    printf '12345678\nKx2700!unl\n' >unlock-pins
    # Bad input: refused before the key sees the code, and the key stays locked.
    run 2 unlock-response "not a code" --key KXCLI00005 --pin-file unlock-pins
    [[ $err == *hexadecimal* ]] || fail "a code that is not hexadecimal: $err"
    run 2 unlock-response 0011AABB --key KXCLI00005 --pin-file unlock-pins
    run 2 unlock-response "$(printf 'AB%.0s' {1..65})" --key KXCLI00005 --pin-file unlock-pins
    printf '12345678\nweakweak\n' >weak-unlock
    run 2 unlock-response "$code" --key KXCLI00005 --pin-file weak-unlock
    printf '1234567\nKx2700!unl\n' >short-initial
    run 2 unlock-response "$code" --key KXCLI00005 --pin-file short-initial
    run 2 unlock-response "$code" --key KXCLI00005 --pin 12345678
    run 0 --json list --key KXCLI00005
    expect "locked before the unlock" "$(json 'd["keys"][0]["pin"]["state"]')" locked
    # The right code, with blanks as an administrator may send it: unlocked with the new PIN, and
    # the user's periodic PIN change starts again from today.
    local settings=$XDG_CONFIG_HOME/kx2700/UserConfig.ini due
    mkdir -p "$(dirname "$settings")"
    printf '[UserConfig]\nCycleSetPIN=30\nLastDay=20000101\n' >"$settings"
    due=$(date -d "+30 days" +%Y%m%d)
    run 0 --json unlock-response "${code:0:8} ${code:8}" --key KXCLI00005 --pin-file unlock-pins
    expect "unlocked key" "$(json 'd["serial"]')" KXCLI00005
    expect "PIN change due after the unlock" "$(grep '^LastDay=' "$settings")" "LastDay=$due"
    run 0 --json list --key KXCLI00005
    expect "state after the unlock" "$(json '(d["keys"][0]["pin"]["state"], d["keys"][0]["pin"]["triesLeft"])')" \
        "('ok', 6)"
    printf 'Kx2700!unl\nKx2700!two\n' >after-unlock
    printf '[UserConfig]\nCycleSetPIN=30\nLastDay=20000101\n' >"$settings"
    run 0 change-pin --key KXCLI00005 --pin-file after-unlock
    expect "PIN change due after change-pin" "$(grep '^LastDay=' "$settings")" "LastDay=$due"
    rm -f "$settings"
    # A code of another request: refused, the key stays locked.
    "$keysim" set KXCLI00005 --user-retries 0 >/dev/null
    run 1 --json unlock-response "$code" --key KXCLI00005 --pin-file unlock-pins
    expect "stale code" "$(json 'd["error"]["kind"]')" failed
    run 0 --json list --key KXCLI00005
    expect "locked after a stale code" "$(json 'd["keys"][0]["pin"]["state"]')" locked
    # A wrong initial PIN spends the tries the unlock gave back: locked again.
    run 0 unlock-request --key KXCLI00005
    code=$("$keysim" unlock-code KXCLI00005 "${out##*: }")
    printf '87654321\nKx2700!unl\n' >wrong-initial
    run 5 unlock-response "$code" --key KXCLI00005 --pin-file wrong-initial
    [[ $err == *"locked again"* ]] || fail "wrong initial PIN: $err"
    run 0 --json list --key KXCLI00005
    expect "locked after a wrong initial PIN" "$(json 'd["keys"][0]["pin"]["state"]')" locked
    # On a terminal: the initial PIN, then the new one twice, none of them shown.
    run 0 unlock-request --key KXCLI00005
    code=$("$keysim" unlock-code KXCLI00005 "${out##*: }")
    printf '12345678\nKx2700!tty\nKx2700!tty\n' >answers
    out=$("$python" "$here/TerminalPrompt.py" "$kx" answers unlock-response "$code" --key KXCLI00005)
    [[ $out == *"Initial PIN of key KXCLI00005:"*"New PIN:"*"New PIN again:"*"is unlocked"*"exit 0" ]] ||
        fail "unlock-response on a terminal: $out"
    [[ $out == *12345678* || $out == *Kx2700!tty* ]] && fail "the terminal showed a PIN: $out"
    # The operation log has the unlock's calls, not its code or PINs.
    local log
    log=$(cat "$HOME"/KeyLog/* 2>/dev/null)
    [[ $log == *SKF_RemoteUnblockPIN* ]] || fail "the operation log holds no remote unlock"
    local secret
    for secret in "$code" Kx2700!unl Kx2700!tty; do
        [[ $log == *"$secret"* ]] && fail "the operation log holds '$secret'"
    done
}

finger_group() {
    "$keysim" create --serial KXCLI00006 --label "Sensor key" --sensor fingerprint --fingers 2,5 >/dev/null
    run 2 finger --key KXCLI00006
    run 2 finger enrol --key KXCLI00006
    run 0 --json finger list --key KXCLI00006
    expect "finger command" "$(json 'd["command"]')" "finger list"
    expect "enrolled fingers" "$(json '[(u["type"], u["fingers"], u["triesLeft"]) for u in d["users"]]')" \
        "[('user', [2, 5], 5)]"
    run 0 finger list --key KXCLI00006
    expect "finger list text" "$out" "user fingers of key KXCLI00006: 2, 5 (5 of 5 tries left)"
    # The finger on the sensor is the one the key names.
    "$keysim" present-finger KXCLI00006 5
    run 0 --json finger test --key KXCLI00006
    expect "recognised finger" "$(json '(d["finger"], d["userType"])')" "(5, 'user')"
    # A finger that is not enrolled costs a try; no finger at all ends, without a try spent, when
    # the key gives up waiting.
    "$keysim" present-finger KXCLI00006 3
    run 1 finger test --key KXCLI00006
    [[ $err == *"not recognised"* ]] || fail "an unknown finger: $err"
    KX2700_KEYSIM_FINGER_TIMEOUT_MS=300 run 1 finger test --key KXCLI00006
    run 0 --json finger list --key KXCLI00006
    expect "tries after the failed tests" "$(json 'd["users"][0]["triesLeft"]')" 4
    # A locked fingerprint check is said before the sensor waits.
    "$keysim" set KXCLI00006 --finger-retries 0 >/dev/null
    run 5 --json finger test --key KXCLI00006
    expect "locked fingers" "$(json 'd["error"]["kind"]')" pin-locked
    "$keysim" create --serial KXCLI00007 --sensor fingerprint >/dev/null
    run 1 finger test --key KXCLI00007
    [[ $err == *"no finger is enrolled"* ]] || fail "no enrolled finger: $err"
    # A key without a sensor beside them: not supported.
    run 1 --json finger list --key KXCLI00001
    [[ $(json 'd["error"]["message"]') == *"not supported by this key"* ]] || fail "no sensor: $out"
    run 1 finger test --key KXCLI00001
}

# --- SoftHSM2 ------------------------------------------------------------------------------

softhsm_group() {
    export SOFTHSM2_CONF=$work/softhsm2.conf
    mkdir -p "$work/tokens"
    printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" >"$SOFTHSM2_CONF"
    softhsm2-util --init-token --free --label "HSM token" --pin 12345678 --so-pin 87654321 >/dev/null ||
        { fail "softhsm2-util --init-token"; return; }
    printf '[APPLib]\nPKCS11Lib=%s\n' "$softhsm_module" >"$KX2700_SYSTEM_APPINFO"
    # SoftHSM2's free slot shows as a second token where the token library lists it: the test
    # names its own, and without --key only one token may be meant.
    run 0 --json list
    local serial
    serial=$(json '[k["serial"] for k in d["keys"] if k["label"] == "HSM token"][0]')
    if [ "$(json 'len(d["keys"])')" -gt 1 ]; then run 2 certs; else run 0 certs; fi
    printf '12345678\n' >pin
    run 0 import user.p12 --key "$serial" --container hsm --password-file password --pin-file pin
    run 0 --json certs --key "$serial"
    expect "SoftHSM container" "$(json '[c["name"] for c in d["containers"]]')" "['hsm']"
    expect "SoftHSM certificate" "$(json 'd["containers"][0]["exchange"]["subject"]')" "Command Line User"
    run 0 export hsm exchange --key "$serial" -o hsm.der
    cmp -s hsm.der user.der || fail "the certificate exported from SoftHSM is not the imported one"
    # A module without a retry counter: a wrong PIN without a count.
    printf '00000000\n' >bad-pin
    run 4 --json delete hsm --key "$serial" --yes --pin-file bad-pin
    expect "SoftHSM wrong PIN" "$(json 'd["error"]["triesLeft"]')" None
    run 0 delete hsm --key "$serial" --yes --pin-file pin
    # Generation on SoftHSM2: EC and RSA, no SM2.
    run 2 generate --key "$serial" --cn "HSM" --algorithm sm2 --pin-file pin
    [[ $err == *"does not offer sm2"* ]] || fail "SoftHSM2 SM2: $err"
    run 0 --json generate --key "$serial" --cn "HSM User" --container hsmgen --algorithm p384 --pem --pin-file pin
    json 'd["data"]' >hsm.csr
    openssl req -in hsm.csr -verify -noout 2>/dev/null || fail "the SoftHSM2 request does not verify"
    run 0 --json request hsmgen --key "$serial" --cn "HSM Again" --pem --pin-file pin
    json 'd["data"]' >hsm-again.csr
    expect "SoftHSM2 request for the same key" "$(key_of_request hsm-again.csr)" "$(key_of_request hsm.csr)"
    run 0 delete hsmgen --key "$serial" --yes --pin-file pin
    # No SKF application: remote unlock is not supported, refused before any PIN is read.
    run 1 --json unlock-request --key "$serial"
    [[ $(json 'd["error"]["message"]') == *"not supported by this key"* ]] || fail "SoftHSM2 unlock-request: $out"
    run 1 unlock-response 00112233445566778899 --key "$serial" --pin-file "$work/no-such-pin-file"
    [[ $err == *"not supported by this key"* ]] || fail "SoftHSM2 unlock-response: $err"
    run 1 finger list --key "$serial"
    [[ $err == *"not supported by this key"* ]] || fail "SoftHSM2 finger list: $err"
    run 1 --json finger test --key "$serial"
    expect "SoftHSM2 finger test" "$(json 'd["exitCode"]')" 1
    run 0 --json certs --key "$serial"
    expect "SoftHSM containers after deletion" "$(json 'd["containers"]')" "[]"
}

make_files
# KX_CLI_GROUPS="group ..." runs only those groups, in that order (for working on one).
[ -n "${KX_CLI_GROUPS:-}" ] && { for g in $KX_CLI_GROUPS; do "$g"; done; exit "$failures"; }
case "$mode" in
keysim)
    usage_group
    no_key_group
    one_key_group
    import_export_group
    store_group
    bad_file_group
    wrong_pin_group
    rename_change_group
    two_keys_group
    locked_group
    secrets_group
    terminal_group
    pkcs7_group
    generate_group
    unlock_group
    finger_group
    ;;
softhsm)
    [ -n "$softhsm_module" ] && command -v softhsm2-util >/dev/null || { echo "SoftHSM2 is not installed"; exit 77; }
    softhsm_group
    ;;
*)
    echo "usage: CliTest.sh keysim|softhsm BIN_DIR [SOFTHSM_MODULE]" >&2
    exit 2
    ;;
esac
[ "$failures" = 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "all kx2700 checks passed ($mode)"
