#!/usr/bin/env bash
# The updater's whole job in one command: makes a signing key with qv_publish, builds the updater
# with its public key against a server on loopback, publishes a stand-in Quorvex application signed
# with qv_publish, serves it with nginx and lets the updater install 1.0, update to 1.1, verify
# and launch 1.1, and finally refuse a hash list changed on the way.
#   QUORVEX_DEMO_BUILD_DIR  build directory (default: build-demo in the source tree)
#   QUORVEX_DEMO_KEEP=1     keep the temporary server and data directories for inspection
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUORVEX_DEMO_BUILD_DIR:-$root/build-demo}"

step=0
say() { printf '\n\033[1m==> %s\033[0m\n' "$*"; }
info() { printf '    %s\n' "$*"; }
fail() { printf '\n\033[31mDEMO FAILED: %s\033[0m\n' "$*" >&2; exit 1; }
next() { step=$((step + 1)); say "Step $step: $*"; }

next "Installing missing packages"
"$root/scripts/setup-deps.sh"
info "all build and run dependencies are present"

port="$("$root/scripts/free-port.sh")"
server_url="http://127.0.0.1:$port"
configure() { # <public keys>
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEX_SERVER_URL="$server_url" \
        -DQUORVEX_PUBLIC_KEYS="$1" -DQUORVEX_BUILD_TESTS=OFF -DQUORVEX_BUILD_TOOLS=ON \
        >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; fail "configuring failed"; }
    rm -f "$build.configure.log"
}
build() { # <target>...
    cmake --build "$build" -j"$(nproc)" --target "$@" >/dev/null ||
        fail "building failed (run: cmake --build $build)"
}

# The vendor's signing key stays in the build directory, so that later runs reuse the build.
key="$build/demo-signing.key"
if [ ! -s "$key.pub" ]; then
    next "Making the vendor's signing key with qv_publish keygen"
    configure ""
    build qv_publish
    rm -f "$key"
    "$build/qv_publish" keygen --out "$key" >"$key.out" || fail "qv_publish keygen failed"
    sed 's/^/    /' "$key.out"
    tail -n 1 "$key.out" >"$key.pub" && rm -f "$key.out"
fi
public_key="$(cat "$key.pub")"
next "Building the updater with the public key $public_key (server $server_url), qv_publish and the stand-in application in $build"
configure "$public_key"
build qv_updater qv_publish quorvex_demo_1_0 quorvex_demo_1_1
info "built $build/qv_updater and $build/qv_publish"

work="$(mktemp -d "${TMPDIR:-/tmp}/quorvex-demo.XXXXXX")"
server="$work/server" nginx_state="$work/nginx"
# A private data directory: the user's own one is never touched.
export XDG_DATA_HOME="$work/data"
data="$XDG_DATA_HOME/qv_updater"
marker="$data/app/quorvex.started.ini"
record="$data/latestVersion.json"
mkdir -p "$server" "$XDG_DATA_HOME"
# nginx's worker runs as an unprivileged user when started by root: it must be able to read.
chmod 755 "$work"

app_pids=()
cleanup() {
    "$root/scripts/nginx.sh" stop "$nginx_state" 2>/dev/null || true
    for pid in "${app_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    if [ "${QUORVEX_DEMO_KEEP:-0}" = 1 ]; then
        echo "Kept $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

if [ -n "${DISPLAY:-}" ]; then
    mode="in windows on $DISPLAY"
    # The stand-in application closes its window by itself after a few seconds.
    export QUORVEX_DEMO_QUIT_AFTER_MS=4000
else
    mode="offscreen (no DISPLAY)"
    export QT_QPA_PLATFORM=offscreen
fi

publish() { # <version>
    "$build/qv_publish" publish --app-dir "$build/demo/app-$1" --version "$1" \
        --base-url "$server_url" --extract-to /app --binary-name /quorvex \
        --server-dir "$server" --signing-key "$key" 2>/dev/null | sed 's/^/    /' ||
        fail "qv_publish could not publish $1"
    "$build/qv_publish" check --server-dir "$server" --public-key "$public_key" 2>/dev/null |
        sed 's/^/    check: /' || fail "qv_publish check found problems in $server"
}

# Runs the updater once and checks that it launched the expected version, and whether it
# downloaded an archive (installed) or only the hash list (verified).
run_updater() { # <expected version> <install|verify>
    local expected="$1" expect="$2" log="$work/updater-$step.log" seen_before
    seen_before="$(wc -l <"$nginx_state/access.log")"
    rm -f "$marker"
    info "running $build/qv_updater ($mode)"
    local rc=0
    timeout 60 "$build/qv_updater" >"$log" 2>&1 || rc=$?
    [ "$rc" -ne 124 ] || { cat "$log"; fail "the updater did not finish within 60 s (it stays open after a failure)"; }
    info "the updater said (its diagnostic output):"
    grep -v '^QStandardPaths' "$log" | sed 's/^/      | /'
    [ "$rc" -eq 0 ] || fail "the updater exited with status $rc"

    info "requests the server received:"
    tail -n +"$((seen_before + 1))" "$nginx_state/access.log" |
        awk '{ print "      | " $6 " " $7 " -> " $9 }' | tr -d '"'
    local fetched_archive=no
    tail -n +"$((seen_before + 1))" "$nginx_state/access.log" | grep -q '\.7z ' && fetched_archive=yes
    if [ "$expect" = install ] && [ "$fetched_archive" = no ]; then
        fail "the updater was expected to install $expected but downloaded no archive"
    fi
    if [ "$expect" = verify ] && [ "$fetched_archive" = yes ]; then
        fail "the updater was expected to verify, but it reinstalled"
    fi

    for _ in $(seq 1 150); do [ -s "$marker" ] && break; sleep 0.1; done
    [ -s "$marker" ] || fail "the application was not started (no $marker)"
    local started pid
    started="$(sed -n 's/^version=//p' "$marker")"
    pid="$(sed -n 's/^pid=//p' "$marker")"
    app_pids+=("$pid")
    info "the application started: Quorvex $started (pid $pid)"
    [ "$started" = "$expected" ] || fail "expected Quorvex $expected to start, found $started"

    local recorded
    recorded="$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["version"])' "$record")" ||
        fail "no readable installed-version record at $record"
    info "installed-version record $record says version $recorded"
    [ "$recorded" = "$expected" ] || fail "the record says $recorded, expected $expected"

    # Nothing stays running: the application closes by itself.
    for _ in $(seq 1 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && fail "the application (pid $pid) did not close by itself"
    info "the application closed again"
}

# Runs the updater against a document it must refuse: the run stops on the refusal (the window
# stays open with its message), nothing is launched and the record stays as it was.
run_refused() { # <diagnostic logged for each refusal>
    local log="$work/updater-$step.log" seen_before recorded_before pid
    seen_before="$(wc -l <"$nginx_state/access.log")"
    recorded_before="$(cat "$record")"
    rm -f "$marker"
    info "running $build/qv_updater ($mode)"
    "$build/qv_updater" >"$log" 2>&1 &
    pid=$!
    app_pids+=("$pid")
    # The document and its signature are fetched twice before the refusal.
    for _ in $(seq 1 300); do [ "$(grep -c "$1" "$log")" -ge 2 ] && break; sleep 0.1; done
    [ -z "${DISPLAY:-}" ] || sleep 3 # time to read the window
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    info "the updater said (its diagnostic output):"
    grep -v '^QStandardPaths' "$log" | sed 's/^/      | /'
    info "requests the server received:"
    tail -n +"$((seen_before + 1))" "$nginx_state/access.log" |
        awk '{ print "      | " $6 " " $7 " -> " $9 }' | tr -d '"'
    [ "$(grep -c "$1" "$log")" -ge 2 ] || fail "the updater did not refuse (no \"$1\" twice)"
    [ ! -e "$marker" ] || fail "the updater launched the application after the refusal"
    [ "$(cat "$record")" = "$recorded_before" ] || fail "the installed-version record changed"
    info "refused: nothing was downloaded on its strength or launched, the record is unchanged"
}

next "Publishing Quorvex 1.0 into $server, signed"
publish 1.0

next "Serving $server with nginx on $server_url"
"$root/scripts/nginx.sh" start "$server" "$port" "$nginx_state" || fail "nginx did not start"
info "nginx is running (configuration $nginx_state/nginx.conf)"

next "First run: nothing is installed, so the updater installs and launches 1.0"
run_updater 1.0 install

next "Publishing Quorvex 1.1, signed"
publish 1.1

next "Second run: the installed files no longer match the hash list, so the updater installs 1.1"
run_updater 1.1 install

next "Third run: the installed 1.1 matches the hash list, so the updater only verifies and launches"
run_updater 1.1 verify

next "Someone on the path adds one space to the hash list: its signature no longer holds"
printf ' ' >>"$server/hashlist.json"
run_refused "Подпись не прошла проверку: \"/hashlist.json\""

next "Stopping the server"
"$root/scripts/nginx.sh" stop "$nginx_state"
info "nginx stopped"
say "Demo finished: installed 1.0, updated to 1.1, verified 1.1, refused a changed hash list"
