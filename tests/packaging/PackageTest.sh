#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The installation and the Debian package as a user gets them.
#
#   PackageTest.sh install BUILD SOURCE VERSION CMAKE CPACK
#       cmake --install into staging folders (the default prefix and another one) and checks the
#       layout, RUNPATH, desktop entries, icons and manual pages.
#   PackageTest.sh lintian BUILD SOURCE VERSION CMAKE CPACK
#       builds the packages (kx2700 and kx2700-keysim) with cpack and checks each with lintian: no
#       error or warning that the package's overrides do not explain, and no override left unused.
#   PackageTest.sh deb BUILD SOURCE VERSION CMAKE CPACK
#       builds the packages with cpack into a temporary folder, checks their control data and
#       which files each holds, unpacks both with dpkg-deb -x into a root of their own (works for
#       root and for other users alike, runs no maintainer script by itself and needs no dpkg
#       database), checks them like an installation, runs the maintainer scripts against that root
#       (keysim's register its module with update-alternatives there). Then, as root, installs
#       both with dpkg into a second root with a database of its own (the packages they depend on
#       as this machine has them), starts the installed manager on a virtual key through the
#       module the alternative leads to and the administrator's /etc file, removes both (the
#       configuration files stay) and purges (the root is as before). Other users start the
#       unpacked manager instead.
#
# KX_PREFIX, KX_DATADIR, KX_AUTOSTART and KX_COMMANDS give the configured folders. Exit status 0
# passed, 1 failed, 77 skipped (a tool the check needs is missing).
set -uo pipefail

mode=$1 build=$2 source=$3 version=$4 cmake=$5 cpack=$6
prefix=${KX_PREFIX:-/opt/kx2700}
datadir=${KX_DATADIR:-/usr/share}
autostart=${KX_AUTOSTART-/etc/xdg/autostart}
commands=${KX_COMMANDS-/usr/bin}

programs=(KX2700Mgr KX2700Mon kx2700 kx2700-keysim)
libraries=(libDrevmor.so libkeysim-pkcs11.so libkeysim-skf.so)
icon_sizes=(16 32 48 64 128 256)
pages=(KX2700Mgr.1 KX2700Mon.1 kx2700.1 kx2700-keysim.1)
# The bash completion of kx2700, where bash-completion looks for it by the command's name.
completion=/usr/share/bash-completion/completions/kx2700
# What the installed APPInfo.ini names: the links of the alternative kx2700-pkcs11 and its slave.
pkcs11_link=/usr/lib/kx2700/pkcs11-module.so
skf_link=/usr/lib/kx2700/skf-library.so
# The administrator's settings over the installed APPInfo.ini, a configuration file of kx2700.
system_appinfo=/etc/kx2700/APPInfo.ini

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
note() { echo "-- $*"; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kx-package.XXXXXX") || exit 1
# cmake --install and cpack rewrite the build tree's install_manifest.txt; the one of a real
# installation is kept.
manifest=$build/install_manifest.txt
[ -f "$manifest" ] && cp -p "$manifest" "$work/install_manifest.txt"

# Every process started from an executable under $work: the manager, and the monitor it starts
# in a session of its own.
own_processes() {
    local p exe
    for p in /proc/[0-9]*; do
        [ -O "$p" ] || continue
        exe=$(readlink "$p/exe" 2>/dev/null) || continue
        case "$exe" in "$work"/*) echo "${p#/proc/}" ;; esac
    done
}

stop_processes() {
    local pids i
    pids=$(own_processes)
    [ -n "$pids" ] || return 0
    kill -TERM $pids 2>/dev/null
    for i in $(seq 50); do
        [ -n "$(own_processes)" ] || return 0
        sleep 0.1
    done
    # shellcheck disable=SC2046 # one argument per process id
    kill -KILL $(own_processes) 2>/dev/null
}

cleanup() {
    stop_processes
    if [ -f "$work/install_manifest.txt" ]; then
        cp -p "$work/install_manifest.txt" "$manifest"
    else
        rm -f "$manifest"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

top_folder() { local p=${1#/}; echo "/${p%%/*}"; }

is_elf() { [ "$(head -c 4 "$1" 2>/dev/null | od -An -c | tr -d ' ')" = '177ELF' ]; }

png_size() { # prints "WIDTHxHEIGHT"
    local b
    read -r -a b < <(od -An -tu1 -j16 -N8 "$1")
    echo "$(((b[0] << 24) | (b[1] << 16) | (b[2] << 8) | b[3]))x$(((b[4] << 24) | (b[5] << 16) | (b[6] << 8) | b[7]))"
}

ini_value() { # file key: the first value of key, without blanks, quotes and CR
    sed -n "s/^[[:space:]]*$2[[:space:]]*=[[:space:]]*//Ip" "$1" | head -n 1 | tr -d '\r"' | sed 's/[[:space:]]*$//'
}

desktop_value() { sed -n "s/^$2=//p" "$1" | head -n 1; }

# --- Checks of an installed tree ---------------------------------------------------------------

check_programs() { # root
    local bin=$1$prefix/bin f key value runpath dyn
    for f in "${programs[@]}"; do
        [ -x "$bin/$f" ] && is_elf "$bin/$f" || fail "$bin/$f is not an executable"
    done
    for f in "${libraries[@]}"; do
        [ -f "$bin/$f" ] && is_elf "$bin/$f" || fail "$bin/$f is missing"
    done
    # The installed APPInfo.ini is resources/' but for the module lines: those name the links.
    diff <(grep -Ev '^(;|PKCS11Lib=|SKFLib=)' "$source/resources/APPInfo.ini") \
        <(grep -Ev '^(;|PKCS11Lib=|SKFLib=)' "$bin/APPInfo.ini") >/dev/null ||
        fail "APPInfo.ini differs from resources/ in more than the module lines"
    [ "$(ini_value "$bin/APPInfo.ini" PKCS11Lib)" = "$pkcs11_link" ] ||
        fail "APPInfo.ini names PKCS11Lib=$(ini_value "$bin/APPInfo.ini" PKCS11Lib), not $pkcs11_link"
    [ "$(ini_value "$bin/APPInfo.ini" SKFLib)" = "$skf_link" ] ||
        fail "APPInfo.ini names SKFLib=$(ini_value "$bin/APPInfo.ini" SKFLib), not $skf_link"
    grep -qi keysim "$bin/APPInfo.ini" && fail "the installed APPInfo.ini names keysim"
    [ -d "$1${pkcs11_link%/*}" ] || fail "the folder of the module links ${pkcs11_link%/*} is missing"
    # The administrator's file changes nothing as shipped: every key of the installed file is
    # there, commented out with its value, and no key is set.
    local local_info=$1$system_appinfo line
    if [ ! -f "$local_info" ]; then
        fail "$system_appinfo is missing"
    else
        line=$(grep -Ev '^[[:space:]]*(;|\[|$)' "$local_info")
        [ -z "$line" ] && [ "$(grep -c '=' "$local_info")" -gt 0 ] || fail "$system_appinfo sets keys: $line"
        while IFS= read -r line; do
            grep -qxF ";$line" "$local_info" || fail "$system_appinfo lacks the commented-out '$line'"
        done < <(grep -E '^[A-Za-z0-9_]+=' "$bin/APPInfo.ini")
    fi
    diff -r "$source/resources/Languages" "$bin/Languages" >/dev/null || fail "Languages/ differs from resources/"
    diff -r "$source/resources/res" "$bin/res" >/dev/null || fail "res/ differs from resources/"
    # The libraries APPInfo.ini names by a relative name must lie beside the executables.
    for key in DrevmorLib PKCS11Lib CSPLib SKFLib; do
        value=$(ini_value "$bin/APPInfo.ini" "$key")
        case "$value" in
            "" | /*) ;;
            *) [ -f "$bin/$value" ] || fail "$key=$value of APPInfo.ini is not beside the executables" ;;
        esac
    done
    # RUNPATH exactly $ORIGIN, no old-style RPATH, nothing of the build tree.
    while IFS= read -r -d '' f; do
        is_elf "$f" || continue
        dyn=$(readelf -d "$f" 2>/dev/null)
        runpath=$(sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p' <<<"$dyn")
        [ "$runpath" = '$ORIGIN' ] || fail "${f#"$1"} has RUNPATH '$runpath', not \$ORIGIN"
        grep -q '(RPATH)' <<<"$dyn" && fail "${f#"$1"} has an RPATH entry"
        grep -qF "$build" <<<"$dyn" && fail "${f#"$1"} names the build tree in its dynamic section"
    done < <(find "$bin" -type f -print0)
    # The token library resolves beside the executable, not in the build tree.
    for f in KX2700Mgr KX2700Mon kx2700; do
        value=$(env -u LD_LIBRARY_PATH ldd "$bin/$f" 2>&1)
        grep -q 'not found' <<<"$value" && fail "$f: libraries not found: $(grep 'not found' <<<"$value" | tr -s ' \t\n' ' ')"
        grep -qF "libDrevmor.so => $bin/" <<<"$value" ||
            fail "$f does not load libDrevmor.so from $bin: $(grep libDrevmor <<<"$value")"
    done
    # Links as Debian policy wants them: relative within one top-level folder, absolute across.
    if [ -n "$commands" ]; then
        for f in "${programs[@]}"; do
            value=$(readlink "$1$commands/$f")
            if [ -z "$value" ]; then
                fail "$commands/$f is not a link"
            elif [ "$(top_folder "$commands")" = "$(top_folder "$prefix")" ]; then
                case "$value" in
                    /*) fail "$commands/$f -> $value is absolute within $(top_folder "$prefix")" ;;
                    *) [ "$(readlink -f "$1$commands/$f")" = "$(readlink -f "$bin/$f")" ] ||
                        fail "$commands/$f -> $value does not lead to $prefix/bin/$f" ;;
                esac
            elif [ "$value" != "$prefix/bin/$f" ]; then
                fail "$commands/$f -> $value, not the absolute $prefix/bin/$f"
            fi
        done
    fi
}

check_desktop() { # root
    local entry exec icon size file out
    local entries=("$datadir/applications/kx2700-manager.desktop|KX2700Mgr")
    [ -n "$autostart" ] && entries+=("$autostart/kx2700-monitor.desktop|KX2700Mon")
    for entry in "${entries[@]}"; do
        file=$1${entry%|*}
        if [ ! -f "$file" ]; then
            fail "${entry%|*} is missing"
            continue
        fi
        if command -v desktop-file-validate >/dev/null; then
            out=$(desktop-file-validate "$file" 2>&1 | grep -E 'error|warning')
            [ -z "$out" ] || fail "desktop-file-validate ${entry%|*}: $out"
        fi
        exec=$(desktop_value "$file" Exec)
        exec=${exec%% *}
        [ "$exec" = "$prefix/bin/${entry#*|}" ] || fail "${entry%|*} starts '$exec', not $prefix/bin/${entry#*|}"
        [ -x "$1$exec" ] || fail "${entry%|*}: $exec is not installed"
        icon=$(desktop_value "$file" Icon)
        for size in "${icon_sizes[@]}"; do
            out=$1$datadir/icons/hicolor/${size}x$size/apps/$icon.png
            if [ ! -f "$out" ]; then
                fail "icon $icon is missing in ${size}x$size"
            elif [ "$(png_size "$out")" != "${size}x$size" ]; then
                fail "icon ${size}x$size/apps/$icon.png is $(png_size "$out")"
            fi
        done
        [ -f "$1$datadir/icons/hicolor/scalable/apps/$icon.svg" ] || fail "icon $icon is missing as SVG"
    done
}

check_manual_pages() { # root
    local page file text err
    for page in "${pages[@]}"; do
        file=$1$datadir/man/man1/$page.gz
        if [ ! -f "$file" ]; then
            fail "manual page $page.gz is missing"
            continue
        fi
        text=$(gzip -dc "$file") || fail "$page.gz is not gzip data"
        grep -q "^\.TH .*\"KX2700 $version\"" <<<"$text" || fail "$page does not carry version $version"
        if command -v groff >/dev/null; then
            err=$(groff -man -Tutf8 -ww -z <<<"$text" 2>&1)
            [ -z "$err" ] || fail "groff warns about $page: $err"
        fi
        if command -v man >/dev/null; then
            err=$(MANWIDTH=80 man --warnings -l -Tutf8 "$file" 2>&1 >"$work/page.txt")
            [ -z "$err" ] || fail "man warns about $page: $err"
            # Without the overstriking of bold and underlined letters.
            sed -i 's/.\x08//g' "$work/page.txt"
            grep -q "^NAME" "$work/page.txt" && grep -qF "${page%.1}" "$work/page.txt" ||
                fail "man -l $page.gz renders no NAME section"
        fi
    done
}

# Files outside the folders the installation owns are strays (a test, a header, a tool).
owned_path() { # path inside the root
    case "$1" in
        "$prefix"/bin/*) return 0 ;;
        "$datadir"/applications/kx2700-*.desktop | "$datadir"/icons/hicolor/*/apps/kx2700-*) return 0 ;;
        "$datadir"/man/man1/*.1.gz) return 0 ;;
        "$datadir"/doc/kx2700/copyright | "$datadir"/doc/kx2700/changelog.gz) return 0 ;;
        "$datadir"/doc/kx2700-keysim/copyright | "$datadir"/doc/kx2700-keysim/changelog.gz) return 0 ;;
        "$datadir"/lintian/overrides/kx2700 | "$datadir"/lintian/overrides/kx2700-keysim) return 0 ;;
        "$datadir"/metainfo/org.kx2700.manager.metainfo.xml) return 0 ;;
        "$datadir"/bash-completion/completions/kx2700) return 0 ;;
        "$system_appinfo") return 0 ;;
    esac
    [ -n "$autostart" ] && [[ "$1" == "$autostart"/kx2700-*.desktop ]] && return 0
    [ -n "$commands" ] && [[ "$1" == "$commands"/* ]] && return 0
    return 1
}

check_no_strays() { # root
    local f
    while IFS= read -r f; do
        owned_path "$f" || fail "stray file $f"
    done < <(cd "$1" && find . \( -type f -o -type l \) | sed 's|^\.||')
}

check_completion() { # root
    local file=$1$datadir/bash-completion/completions/kx2700
    if [ ! -f "$file" ]; then
        fail "the bash completion of kx2700 is missing"
        return
    fi
    bash -n "$file" || fail "the bash completion of kx2700 is not valid bash"
    [ "$datadir" = /usr/share ] && [ "$file" != "$1$completion" ] && fail "the completion is not at $completion"
    grep -q '^ *complete -F _kx2700 kx2700$' "$file" || fail "the completion does not complete kx2700"
}

check_tree() { # root
    check_programs "$1"
    check_completion "$1"
    check_desktop "$1"
    check_manual_pages "$1"
    check_no_strays "$1"
}

# --- The unpacked manager on a virtual key -------------------------------------------------------

start_manager() { # root [settings file the module paths are written to]
    local bin=$1$prefix/bin settings=${2:-$1$prefix/bin/APPInfo.ini} home=$work/home run=$work/run cfg serial mgr monitor waited rc i key value
    mkdir -p "$home/KeyLog" "$run" && chmod 700 "$run"
    export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share XDG_RUNTIME_DIR=$run
    export KX2700_KEYSIM_DIR=$work/keys QT_QPA_PLATFORM=offscreen
    # The administrator's file as the package ships it, read over the installed one.
    export KX2700_SYSTEM_APPINFO=$1$system_appinfo
    unset LD_LIBRARY_PATH
    # A new key still has its first PIN, and the monitor's reminder to change it would close the
    # manager; this user has turned the reminder off.
    cfg=$(ini_value "$bin/APPInfo.ini" CfgPath)
    mkdir -p "$XDG_CONFIG_HOME/${cfg:-kx2700}"
    printf '[UserConfig]\nDefaultPINMode=0\n' >"$XDG_CONFIG_HOME/${cfg:-kx2700}/UserConfig.ini"

    # The module links lie in the root, not in this machine's /usr/lib/kx2700: the manager gets
    # the files the alternatives lead to inside that root (a key commented out is set).
    for key in PKCS11Lib SKFLib; do
        value=$(in_root "$1" "$(ini_value "$bin/APPInfo.ini" "$key")")
        grep -q "^;\?$key=" "$settings" || fail "$settings has no $key"
        sed -i "s|^;\?$key=.*|$key=$1$value|" "$settings"
    done

    serial=$("$bin/kx2700-keysim" create --label "Package test" 2>&1) || {
        fail "kx2700-keysim create: $serial"
        return
    }
    "$bin/kx2700-keysim" list | grep -q "^$serial.*plugged" || fail "the new key $serial is not plugged"

    "$bin/KX2700Mgr" >"$work/manager.log" 2>&1 &
    mgr=$!
    SECONDS=0
    # Up: its command socket exists, a key was connected through the module named in APPInfo.ini
    # (the log is shared with the monitor), and the manager has the token library, the PKCS#11
    # module and the SKF library loaded from the unpacked folder.
    manager_up() {
        local lib
        [ -S "$run/kx2700/TKX2700_Mgr.sock" ] || return 1
        grep -qs 'token_connect end rtn=0' "$home"/KeyLog/QZ_MonLog*.txt || return 1
        for lib in "${libraries[@]}"; do
            awk -v lib="$bin/$lib" '$6 == lib { found = 1 } END { exit !found }' "/proc/$mgr/maps" || return 1
        done
    }
    for i in $(seq 150); do
        kill -0 "$mgr" 2>/dev/null || break
        manager_up && break
        sleep 0.1
    done
    if ! kill -0 "$mgr" 2>/dev/null; then
        wait "$mgr"
        fail "the manager ended at once with status $?: $(cat "$work/manager.log")"
        return
    fi
    [ -S "$run/kx2700/TKX2700_Mgr.sock" ] || fail "the manager opened no command socket"
    grep -qs 'init_pkcs11 end rtn=0' "$home"/KeyLog/QZ_MonLog*.txt ||
        fail "the token library did not start: $(cat "$home"/KeyLog/QZ_MonLog*.txt 2>/dev/null)"
    grep -qs 'token_connect end rtn=0' "$home"/KeyLog/QZ_MonLog*.txt || fail "the manager did not connect to the key"
    for i in "${libraries[@]}"; do
        awk -v lib="$bin/$i" '$6 == lib { found = 1 } END { exit !found }' "/proc/$mgr/maps" ||
            fail "the manager has not loaded $i from $bin"
    done
    # The monitor lies beside the manager, so the manager has started it.
    monitor=
    for i in $(seq 50); do
        for monitor in $(own_processes); do
            [ "$(readlink "/proc/$monitor/exe")" = "$bin/KX2700Mon" ] && break 2
        done
        monitor=
        sleep 0.1
    done
    [ -n "$monitor" ] || fail "the manager did not start the monitor beside it"
    # Still up after three seconds.
    waited=$((3 - SECONDS))
    [ "$waited" -gt 0 ] && sleep "$waited"
    kill -0 "$mgr" 2>/dev/null || fail "the manager ended within 3 s: $(cat "$work/manager.log")"

    kill -TERM "$mgr" 2>/dev/null
    for i in $(seq 100); do
        kill -0 "$mgr" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$mgr" 2>/dev/null; then
        fail "the manager did not end within 10 s of SIGTERM"
        kill -KILL "$mgr"
    fi
    wait "$mgr"
    rc=$?
    [ "$rc" -eq 0 ] || [ "$rc" -eq 143 ] || fail "the manager ended with status $rc at SIGTERM"
    if [ -n "$monitor" ]; then
        kill -TERM "$monitor" 2>/dev/null
        for i in $(seq 100); do
            [ -d "/proc/$monitor" ] || break
            sleep 0.1
        done
        [ -d "/proc/$monitor" ] && fail "the monitor did not end within 10 s of SIGTERM"
    fi
    [ -z "$(own_processes)" ] || fail "processes left behind: $(own_processes)"
    note "manager ran ${SECONDS} s on key $serial"
}

# --- The maintainer scripts ------------------------------------------------------------------------

check_maintainer_scripts() { # root control
    local script action failing_tools=$work/failing-tools tool rc
    mkdir -p "$failing_tools" "$work/no-tools" "$1$datadir/icons/hicolor"
    : >"$1$datadir/icons/hicolor/index.theme"
    # Cache tools that record their call and fail, to show the scripts never fail with them.
    for tool in update-desktop-database gtk-update-icon-cache; do
        printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\nexit 1\n' "$tool" "$work" >"$failing_tools/$tool"
        chmod +x "$failing_tools/$tool"
    done
    for script in postinst postrm; do
        [ -x "$2/$script" ] || {
            fail "the package has no executable $script"
            continue
        }
        sh -n "$2/$script" || fail "$script is not valid sh"
        action=remove
        [ "$script" = postinst ] && action=configure
        # The tools are called on the package's root and their failure is ignored ...
        rm -f "$work/calls"
        DPKG_ROOT=$1 PATH=$failing_tools:/usr/bin:/bin /bin/sh "$2/$script" "$action"
        rc=$?
        [ "$rc" -eq 0 ] || fail "$script $action ended with $rc when the cache tools fail"
        grep -qxF "update-desktop-database -q $1$datadir/applications" "$work/calls" 2>/dev/null ||
            fail "$script did not refresh $datadir/applications: $(cat "$work/calls" 2>/dev/null)"
        grep -qxF "gtk-update-icon-cache -q -t -f $1$datadir/icons/hicolor" "$work/calls" 2>/dev/null ||
            fail "$script did not refresh the hicolor icon cache: $(cat "$work/calls" 2>/dev/null)"
        # ... and their absence too.
        DPKG_ROOT=$1 PATH=$work/no-tools /bin/sh "$2/$script" "$action"
        rc=$?
        [ "$rc" -eq 0 ] || fail "$script $action ended with $rc without the cache tools"
    done
    rm -f "$1$datadir/icons/hicolor/index.theme"
}

# --- The alternatives kx2700-pkcs11 and kx2700-skf ---------------------------------------------------

in_root() { # root path: where path leads, links followed as if root were /
    local path=$2 target i
    for i in $(seq 20); do
        if [ ! -L "$1$path" ]; then
            echo "$path"
            return 0
        fi
        target=$(readlink "$1$path")
        case "$target" in
            /*) path=$target ;;
            *) path=${path%/*}/$target ;;
        esac
    done
    return 1
}

expect_module() { # root module skf when
    local module skf
    module=$(in_root "$1" "$pkcs11_link")
    skf=$(in_root "$1" "$skf_link")
    [ "$module" = "$2" ] || fail "$4: $pkcs11_link leads to '$module', not $2"
    [ "$skf" = "$3" ] || fail "$4: $skf_link leads to '$skf', not $3"
}

# kx2700-keysim's scripts, run as dpkg runs them on a root (DPKG_ROOT, which update-alternatives
# follows), against a second module of higher priority as an administrator adds a real key's.
check_alternatives() { # root control
    local script keysim=$prefix/bin/libkeysim-pkcs11.so keysim_skf=$prefix/bin/libkeysim-skf.so
    local vendor=/usr/lib/vendor-pkcs11.so vendor_skf=/usr/lib/vendor-skf.so
    for script in postinst prerm; do
        if [ ! -x "$2/$script" ]; then
            fail "kx2700-keysim has no executable $script"
            return
        fi
        sh -n "$2/$script" || fail "keysim's $script is not valid sh"
    done
    mkdir -p "$1/etc/alternatives" "$1/var/lib/dpkg/alternatives" "$1/var/log"
    run_script() { DPKG_ROOT=$1 /bin/sh "$2" "${@:3}" >>"$work/alternatives.log" 2>&1 || fail "keysim's ${*:2}: $(cat "$work/alternatives.log")"; }
    alternative() { update-alternatives --root "$1" "${@:2}" >>"$work/alternatives.log" 2>&1 || fail "update-alternatives ${*:2}: $(cat "$work/alternatives.log")"; }

    run_script "$1" "$2/postinst" configure
    expect_module "$1" "$keysim" "$keysim_skf" "after kx2700-keysim's postinst"
    # A real key's module at a higher priority takes over, its SKF library with it ...
    : >"$1$vendor" && : >"$1$vendor_skf"
    alternative "$1" --install "$pkcs11_link" kx2700-pkcs11 "$vendor" 50 --slave "$skf_link" kx2700-skf "$vendor_skf"
    expect_module "$1" "$vendor" "$vendor_skf" "with a module of priority 50"
    # ... and stays when keysim goes, which withdraws its own.
    run_script "$1" "$2/prerm" remove
    expect_module "$1" "$vendor" "$vendor_skf" "after kx2700-keysim's prerm remove"
    update-alternatives --root "$1" --query kx2700-pkcs11 2>/dev/null | grep -q libkeysim &&
        fail "keysim's module is still registered after its prerm remove"
    # With no module left the links go.
    alternative "$1" --remove kx2700-pkcs11 "$vendor"
    [ -e "$1$pkcs11_link" ] || [ -L "$1$pkcs11_link" ] && fail "$pkcs11_link is left with no module registered"
    rm -f "$1$vendor" "$1$vendor_skf"
    # keysim again; an upgrade's prerm keeps its registration.
    run_script "$1" "$2/postinst" configure
    run_script "$1" "$2/prerm" upgrade "$version"
    expect_module "$1" "$keysim" "$keysim_skf" "after kx2700-keysim's prerm upgrade"
}

# --- Installed, removed and purged by dpkg ---------------------------------------------------------

dpkg_in() { # root dpkg-arguments: dpkg on the root's own database, maintainer scripts run outside a chroot
    dpkg --root="$1" --log="$1/var/log/dpkg.log" --force-script-chrootless "${@:2}" >>"$work/dpkg.log" 2>&1
}

# A root whose dpkg database knows nothing but this machine's copies of the packages kx2700 and
# kx2700-keysim depend on, so dpkg checks their relations for real and this machine stays as it is.
make_dpkg_root() { # root
    local admin=$1/var/lib/dpkg dep name
    mkdir -p "$admin/info" "$admin/updates" "$admin/triggers" "$admin/alternatives" "$1/var/log" "$1/etc/alternatives"
    : >"$admin/status"
    for dep in $({ dpkg-deb -f "$deb" Depends; echo ,; dpkg-deb -f "$keysim_deb" Depends; } | tr ',|' '\n\n' | awk 'NF { print $1 }' | sort -u); do
        [ "$dep" = kx2700 ] && continue
        name=$(dpkg-query -W -f '${binary:Package}\n' "$dep" 2>/dev/null | head -n 1)
        if [ -z "$name" ] || ! dpkg-query -s "$name" >>"$admin/status" 2>/dev/null; then
            fail "this machine lacks $dep, which the packages depend on"
            continue
        fi
        echo >>"$admin/status"
        : >"$admin/info/$name.list"
    done
}

package_state() { dpkg-query --admindir="$1/var/lib/dpkg" -W -f '${db:Status-Abbrev}' "$2" 2>/dev/null | tr -d ' '; }

# What a root holds besides dpkg's own database and log and the caches the desktop's tools keep
# of every entry (they outlive any one package): files, links and empty folders, as "type path".
root_contents() { # root
    (cd "$1" && find . -mindepth 1 \( -path ./var/lib/dpkg -o -path ./var/log \) -prune -o \
        \( ! -type d -o -empty \) ! -name mimeinfo.cache ! -name icon-theme.cache -printf '%y %P\n' | sort)
}

# Both packages installed with dpkg into a root of their own: relations, scripts and conffiles as
# on a user's machine; the installed manager on a virtual key through the alternative; then
# removal, which keeps the administrator's settings, and purge, which leaves nothing behind.
check_dpkg_lifecycle() { # root
    local root=$1 p before after cache
    make_dpkg_root "$root"
    before=$(root_contents "$root")
    dpkg_in "$root" --install "$deb" "$keysim_deb" || {
        fail "dpkg --install: $(cat "$work/dpkg.log")"
        return
    }
    for p in kx2700 kx2700-keysim; do
        [ "$(package_state "$root" "$p")" = ii ] || fail "$p is '$(package_state "$root" "$p")' after dpkg --install, not ii"
    done
    dpkg_in "$root" --verify kx2700 kx2700-keysim || fail "dpkg --verify after the installation: $(tail -n 20 "$work/dpkg.log")"
    dpkg_in "$root" --audit || fail "dpkg --audit: $(tail -n 20 "$work/dpkg.log")"
    expect_module "$root" "$prefix/bin/libkeysim-pkcs11.so" "$prefix/bin/libkeysim-skf.so" "after dpkg --install"
    # The administrator names the module in the configuration file under /etc, as for a real key.
    start_manager "$root" "$root$system_appinfo"
    grep -q "^PKCS11Lib=" "$root$system_appinfo" || fail "the administrator's setting did not reach $system_appinfo"

    dpkg_in "$root" --remove kx2700-keysim kx2700 || fail "dpkg --remove: $(tail -n 20 "$work/dpkg.log")"
    [ "$(package_state "$root" kx2700)" = rc ] || fail "kx2700 is '$(package_state "$root" kx2700)' after dpkg --remove, not rc"
    [ "$(package_state "$root" kx2700-keysim)" = un ] || [ -z "$(package_state "$root" kx2700-keysim)" ] ||
        fail "kx2700-keysim is '$(package_state "$root" kx2700-keysim)' after dpkg --remove, not gone"
    grep -q "^PKCS11Lib=$root" "$root$system_appinfo" 2>/dev/null ||
        fail "dpkg --remove did not keep the administrator's $system_appinfo"
    [ -e "$root$pkcs11_link" ] || [ -L "$root$pkcs11_link" ] && fail "$pkcs11_link is left after keysim's removal"
    # Removal keeps the configuration files (the autostart entry's TryExec skips it meanwhile).
    after=$(diff <(echo "$before") <(root_contents "$root") | sed -n 's/^> [fl] //p' |
        grep -vxF -f <(sed 's|^/||' "$work/control/conffiles"))
    [ -z "$after" ] || fail "dpkg --remove left more than the configuration files: $after"

    dpkg_in "$root" --purge kx2700 || fail "dpkg --purge: $(tail -n 20 "$work/dpkg.log")"
    [ -z "$(package_state "$root" kx2700)" ] || [ "$(package_state "$root" kx2700)" = un ] ||
        fail "kx2700 is '$(package_state "$root" kx2700)' after dpkg --purge"
    after=$(diff <(echo "$before") <(root_contents "$root") | grep '^[<>]')
    [ -z "$after" ] || fail "the purge left the root other than it was before the installation: $after"
    ls "$root/var/lib/dpkg/alternatives" | grep -q . && fail "alternatives left registered: $(ls "$root/var/lib/dpkg/alternatives")"
    while IFS= read -r cache; do
        grep -qi kx2700 "$cache" && fail "${cache#"$root"} still names kx2700 after the purge"
    done < <(find "$root" -name mimeinfo.cache -o -name icon-theme.cache)
    note "installed, started, removed and purged with dpkg"
}

# --- The package ----------------------------------------------------------------------------------

require_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || {
            echo "SKIP: $tool is missing"
            exit 77
        }
    done
}

build_deb() { # sets deb (the programs), keysim_deb and arch
    local f
    SECONDS=0
    "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 || {
        fail "cpack: $(tail -n 30 "$work/cpack.log")"
        exit 1
    }
    note "cpack took ${SECONDS} s"
    arch=$(dpkg --print-architecture)
    deb=$work/pkg/kx2700_${version}_$arch.deb
    keysim_deb=$work/pkg/kx2700-keysim_${version}_$arch.deb
    for f in "$deb" "$keysim_deb"; do
        [ -f "$f" ] || {
            fail "cpack made no $(basename "$f"): $(ls "$work/pkg")"
            exit 1
        }
    done
    [ "$(ls "$work/pkg"/*.deb | wc -l)" -eq 2 ] || fail "cpack made other packages: $(ls "$work/pkg"/*.deb)"
}

# Every error and warning of lintian counts, except what the package's overrides explain; an
# override that no longer matches anything counts too, so none outlives its reason.
run_lintian() { # package file
    local out rc
    SECONDS=0
    lintian --fail-on none --display-info --tag-display-limit 0 "$1" >"$work/lintian.log" 2>"$work/lintian.err"
    rc=$?
    note "lintian took ${SECONDS} s on $(basename "$1")"
    [ "$rc" -eq 0 ] || fail "lintian ended with status $rc: $(cat "$work/lintian.err")"
    out=$(grep -E '^[EW]: |^I: .*(unused-override|mismatched-override)' "$work/lintian.log")
    [ -z "$out" ] || fail "lintian reports on $(basename "$1"):
$out"
}

# ---------------------------------------------------------------------------------------------------

case "$mode" in
    lintian)
        require_tools lintian dpkg readelf
        build_deb
        run_lintian "$deb"
        run_lintian "$keysim_deb"
        ;;
    install)
        for p in "$prefix" /usr/local/kx2700; do
            stage=$work/stage${p//\//_}
            DESTDIR=$stage "$cmake" --install "$build" --prefix "$p" >"$work/install.log" 2>&1 ||
                fail "cmake --install --prefix $p: $(tail -n 20 "$work/install.log")"
            # An installation under another prefix: entries and links follow it.
            prefix=$p
            check_tree "$stage"
            note "checked an installation under $p"
        done
        ;;
    deb)
        require_tools dpkg-deb dpkg readelf update-alternatives
        build_deb
        field() { dpkg-deb -f "$deb" "$1"; }
        [ "$(field Package)" = kx2700 ] || fail "Package: $(field Package)"
        [ "$(field Version)" = "$version" ] || fail "Version: $(field Version), not $version"
        [ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
        [ "$(field Section)" = utils ] || fail "Section: $(field Section)"
        field Maintainer | grep -Eq '^[^<]+ <[^@>]+@[^>]+>$' || fail "Maintainer: $(field Maintainer)"
        depends=$(field Depends)
        for dep in libc6 libqt6core6 libqt6widgets6 libssl3 libudev1; do
            grep -Eq "(^|, )$dep( |,|$)" <<<"$depends" || fail "Depends lacks $dep: $depends"
        done
        grep -Eqi 'drevmor' <<<"$depends" && fail "Depends names a library of the package itself: $depends"
        recommends=$(field Recommends)
        for dep in libnss3-tools p11-kit qt6-wayland; do
            grep -Eq "(^|, )$dep( |,|$)" <<<"$recommends" || fail "Recommends lacks $dep: $recommends"
        done
        [ -n "$(field Description)" ] || fail "no Description"
        # The programs work with any key's module: kx2700 names keysim nowhere, neither in its
        # relations and scripts nor in a file it holds.
        mkdir -p "$work/control" "$work/keysim-control"
        dpkg-deb -e "$deb" "$work/control" || fail "dpkg-deb cannot read the control data of kx2700"
        out=$(grep -ril keysim "$work/control")
        [ -z "$out" ] && [ -z "$(dpkg-deb -f "$deb" | grep -i keysim)" ] ||
            fail "the control data of kx2700 name keysim: $(dpkg-deb -f "$deb" | grep -i keysim) $out"
        out=$(dpkg-deb -c "$deb" | grep -Ei 'keysim|faultwrap')
        [ -z "$out" ] || fail "kx2700 holds files of keysim: $out"
        mkdir -p "$work/programs-only"
        dpkg-deb -x "$deb" "$work/programs-only" && out=$(grep -rli 'libkeysim' "$work/programs-only$prefix/bin/APPInfo.ini")
        [ -z "$out" ] || fail "the APPInfo.ini of kx2700 names keysim's libraries"

        kfield() { dpkg-deb -f "$keysim_deb" "$1"; }
        [ "$(kfield Package)" = kx2700-keysim ] || fail "Package: $(kfield Package)"
        [ "$(kfield Version)" = "$version" ] || fail "Version of kx2700-keysim: $(kfield Version), not $version"
        [ "$(kfield Architecture)" = "$arch" ] || fail "Architecture of kx2700-keysim: $(kfield Architecture)"
        kfield Depends | grep -Eq "(^|, )kx2700 \(= $version\)(,|$)" ||
            fail "kx2700-keysim does not depend on kx2700 (= $version): $(kfield Depends)"
        [ -n "$(kfield Description)" ] || fail "kx2700-keysim has no Description"
        # kx2700-keysim holds the virtual key, the fault wrapper and their documents, nothing else.
        while IFS= read -r f; do
            case "$f" in
                "$prefix"/bin/libkeysim-pkcs11.so | "$prefix"/bin/libkeysim-skf.so) ;;
                "$prefix"/bin/libkx2700-faultwrap.so | "$prefix"/bin/kx2700-keysim) ;;
                "$commands"/kx2700-keysim | "$datadir"/man/man1/kx2700-keysim.1.gz) ;;
                "$datadir"/doc/kx2700-keysim/* | "$datadir"/lintian/overrides/kx2700-keysim) ;;
                *) fail "kx2700-keysim holds $f" ;;
            esac
        done < <(dpkg-deb -c "$keysim_deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\.||')

        owners=$(for f in "$deb" "$keysim_deb"; do dpkg-deb -c "$f"; done | awk '$2 != "root/root" { print $6 }')
        [ -z "$owners" ] || fail "files not owned by root: $owners"

        root=$work/root
        dpkg-deb -e "$keysim_deb" "$work/keysim-control" && dpkg-deb -x "$deb" "$root" &&
            dpkg-deb -x "$keysim_deb" "$root" || {
            fail "dpkg-deb cannot unpack the packages"
            exit 1
        }
        check_tree "$root"
        # Configuration files are those under /etc, which dpkg keeps a user's changes to.
        if [ -f "$work/control/conffiles" ]; then
            while IFS= read -r conffile; do
                [ -z "$conffile" ] || [ -f "$root$conffile" ] || fail "conffile $conffile is not in the package"
                case "$conffile" in /etc/*) ;; *) fail "conffile $conffile lies outside /etc" ;; esac
            done <"$work/control/conffiles"
        fi
        grep -qxF "$system_appinfo" "$work/control/conffiles" 2>/dev/null ||
            fail "$system_appinfo is not a conffile"
        if [[ "$autostart" == /etc/* ]]; then
            grep -qxF "$autostart/kx2700-monitor.desktop" "$work/control/conffiles" 2>/dev/null ||
                fail "the autostart entry is not a conffile"
        fi
        check_maintainer_scripts "$root" "$work/control"
        check_alternatives "$root" "$work/keysim-control"
        if [ "$(id -u)" -eq 0 ]; then
            check_dpkg_lifecycle "$work/dpkg-root"
        else
            # dpkg cannot install root-owned files as another user; the unpacked manager runs.
            note "not root: dpkg installs nothing, the unpacked manager is started instead"
            start_manager "$root"
        fi
        ;;
    *)
        echo "usage: $0 install|deb|lintian BUILD SOURCE VERSION CMAKE CPACK" >&2
        exit 2
        ;;
esac

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all checks passed"
