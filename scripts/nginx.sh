#!/usr/bin/env bash
# Serves a directory over HTTP on 127.0.0.1 with nginx and its own configuration; over HTTPS
# with a certificate (<certificate>.pem and its key <certificate>.key).
#   scripts/nginx.sh start <root-dir> <port> <state-dir> [<certificate>]   (returns once nginx answers)
#   scripts/nginx.sh stop <state-dir>
# With QUORVEX_NGINX_OWNER=<pid>, nginx is stopped as soon as that process has ended, however it
# ended (a test killed at its timeout would otherwise leave nginx holding its port).
set -euo pipefail
usage() {
    echo "usage: $0 start <root-dir> <port> <state-dir> [<certificate>] | stop <state-dir>" >&2
    exit 2
}
nginx_bin="$(command -v nginx || echo /usr/sbin/nginx)"
case "${1:-}" in
start)
    [ $# -eq 4 ] || [ $# -eq 5 ] || usage
    [ -d "$2" ] || { echo "$0: the directory to serve, $2, does not exist" >&2 && exit 1; }
    if [ ! -x "$nginx_bin" ]; then
        echo "$0: nginx is missing; install Debian's nginx-light (scripts/setup-deps.sh does, as root)" >&2
        exit 1
    fi
    root="$(cd "$2" && pwd)" port="$3" state="$4" certificate="${5:-}"
    listen="listen 127.0.0.1:$port;"
    if [ -n "$certificate" ]; then
        listen="listen 127.0.0.1:$port ssl; ssl_certificate $certificate.pem; ssl_certificate_key $certificate.key;"
    fi
    mkdir -p "$state"
    state="$(cd "$state" && pwd)"
    cat >"$state/nginx.conf" <<CONF
daemon on;
$([ "$(id -u)" -ne 0 ] || echo "user root;  # workers can then read private directories")
worker_processes 1;
pid $state/nginx.pid;
error_log $state/error.log warn;
events { worker_connections 256; }
http {
    access_log $state/access.log;
    client_body_temp_path $state/body;
    proxy_temp_path $state/proxy;
    fastcgi_temp_path $state/fastcgi;
    uwsgi_temp_path $state/uwsgi;
    scgi_temp_path $state/scgi;
    types { application/json json; application/x-7z-compressed 7z; }
    default_type application/octet-stream;
    sendfile on;
    server {
        $listen
        root $root;
    }
}
CONF
    "$nginx_bin" -c "$state/nginx.conf" -p "$state" -e "$state/error.log"
    if [ -n "${QUORVEX_NGINX_OWNER:-}" ]; then
        # nginx removes its pid file when stopped, which ends the watch too.
        setsid bash -c 'while kill -0 "$1" 2>/dev/null && [ -f "$2" ]; do sleep 0.5; done
            [ ! -f "$2" ] || kill "$(cat "$2")"' _ "$QUORVEX_NGINX_OWNER" "$state/nginx.pid" \
            </dev/null >/dev/null 2>&1 &
    fi
    for _ in $(seq 1 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && exit 0
        sleep 0.05
    done
    echo "nginx did not start on port $port; see $state/error.log" >&2
    exit 1
    ;;
stop)
    [ $# -eq 2 ] || usage
    state="$2"
    if [ -f "$state/nginx.pid" ]; then
        kill "$(cat "$state/nginx.pid")" 2>/dev/null || true
        for _ in $(seq 1 100); do
            [ -f "$state/nginx.pid" ] || break
            sleep 0.05
        done
    fi
    ;;
*)
    usage
    ;;
esac
