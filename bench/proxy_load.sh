#!/usr/bin/env bash
# Load test of the proxy role, run by hand (not in CI): the real travine binary with one
# proxy section in front of a fast loopback upstream (nginx answering a small static body),
# against nginx's own proxy_pass in front of the same upstream on the same cores. Both legs
# close after every request: wrk sends "Connection: close", and both proxies open a new
# upstream connection per request. Prints both throughputs and p99 latencies, their ratios,
# and the proxy's live "objects" count once the load has stopped.
#
#   bench/proxy_load.sh [seconds] [connections]
#
# Environment: TRAVINE (default ./build-release/travine, a Release build), PROXY_CPUS (the
# cores both proxies run on, default 0-1), UPSTREAM_CPUS (default 2-3), WRK_CPUS (default
# 4-5), WRK_THREADS (default 2). Only loopback addresses are used.
set -euo pipefail

SECONDS_RUN=${1:-5}
CONNECTIONS=${2:-64}
TRAVINE=${TRAVINE:-./build-release/travine}
PROXY_CPUS=${PROXY_CPUS:-0-1}
UPSTREAM_CPUS=${UPSTREAM_CPUS:-2-3}
WRK_CPUS=${WRK_CPUS:-4-5}
WRK_THREADS=${WRK_THREADS:-2}
# As many nginx workers as travine runs threads: as many as the machine reports.
NGINX_WORKERS=${NGINX_WORKERS:-$(nproc)}

for tool in wrk nginx taskset curl python3; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -x "$TRAVINE" ] || { echo "missing: $TRAVINE (cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTRAVINE_TESTS=OFF && cmake --build build-release -j3 --target travine)" >&2; exit 1; }

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

wait_port() {  # port: waits up to 5 s for a listener
    for _ in $(seq 1 100); do
        if curl -s -o /dev/null "http://127.0.0.1:$1/" 2>/dev/null; then return 0; fi
        sleep 0.05
    done
    echo "nothing listens on port $1" >&2
    return 1
}

WORK=$(mktemp -d /tmp/proxy_load.XXXXXX)
UP_PORT=$(free_port)
NGINX_PORT=$(free_port)
TRAVINE_PORT=$(free_port)
PIDS=()

cleanup() {
    for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${PIDS[@]}"; do
        for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
        kill -KILL "$pid" 2>/dev/null || true
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

# One nginx per role, so that each can be pinned to its own cores.
nginx_conf() {  # name, worker count, server block
    mkdir -p "$WORK/$1"
    cat >"$WORK/$1/nginx.conf" <<EOF
daemon off;
master_process on;
worker_processes $2;
user root;
pid $WORK/$1/nginx.pid;
error_log $WORK/$1/error.log warn;
events { worker_connections 4096; }
http {
    access_log off;
    client_body_temp_path $WORK/$1/body;
    proxy_temp_path $WORK/$1/proxy;
    fastcgi_temp_path $WORK/$1/fastcgi;
    uwsgi_temp_path $WORK/$1/uwsgi;
    scgi_temp_path $WORK/$1/scgi;
    $3
}
EOF
}

nginx_conf upstream 2 "server { listen 127.0.0.1:$UP_PORT reuseport backlog=4096; keepalive_timeout 0;
        location / { default_type text/plain; return 200 'hello from upstream\n'; } }"
# proxy_pass speaks HTTP/1.0 to the upstream by default: a new connection per request.
nginx_conf front "$NGINX_WORKERS" "server { listen 127.0.0.1:$NGINX_PORT reuseport backlog=4096; keepalive_timeout 0;
        location / { proxy_pass http://127.0.0.1:$UP_PORT; } }"
cat >"$WORK/travine.json" <<EOF
{
    "type": "PROXY",
    "mav_root": "bench",
    "work_dir": "$WORK",
    "pid_file": "$WORK/travine.pid",
    "log": {"level": "warning", "redirect": "$WORK/travine.log"},
    "proxy": {
        "listen": "http://127.0.0.1:$TRAVINE_PORT",
        "locations": {"*": "@bench"},
        "@bench": {"http://127.0.0.1:$UP_PORT": {"weight": 1}}
    }
}
EOF

taskset -c "$UPSTREAM_CPUS" nginx -p "$WORK/upstream" -c "$WORK/upstream/nginx.conf" 2>"$WORK/upstream/stderr" &
PIDS+=($!)
taskset -c "$PROXY_CPUS" nginx -p "$WORK/front" -c "$WORK/front/nginx.conf" 2>"$WORK/front/stderr" &
PIDS+=($!)
taskset -c "$PROXY_CPUS" "$TRAVINE" -c "$WORK/travine.json" >"$WORK/travine.out" 2>&1 &
PIDS+=($!)
wait_port "$UP_PORT"
wait_port "$NGINX_PORT"
wait_port "$TRAVINE_PORT"

run_wrk() {  # port: prints "requests/s p99-in-ms"
    taskset -c "$WRK_CPUS" wrk -t"$WRK_THREADS" -c"$CONNECTIONS" -d"${SECONDS_RUN}s" --latency \
        -H "Connection: close" "http://127.0.0.1:$1/bench" >"$WORK/wrk.$1" 2>&1
    local rps p99 errors
    rps=$(awk '/^Requests\/sec:/ {print $2}' "$WORK/wrk.$1")
    p99=$(awk '$1 == "99%" {v=$2; if (v ~ /us$/) {sub(/us$/,"",v); v/=1000} else if (v ~ /ms$/) {sub(/ms$/,"",v)} else if (v ~ /s$/) {sub(/s$/,"",v); v*=1000}; print v}' "$WORK/wrk.$1")
    errors=$(awk '/Non-2xx or 3xx responses:/ {print $NF} /Socket errors:/ {print}' "$WORK/wrk.$1" | tr '\n' ' ')
    [ -n "$errors" ] && echo "  port $1: $errors" >&2
    echo "${rps:-0} ${p99:-0}"
}

# A short warm-up of each, then the measured runs.
SAVED=$SECONDS_RUN; SECONDS_RUN=1
run_wrk "$TRAVINE_PORT" >/dev/null; run_wrk "$NGINX_PORT" >/dev/null
SECONDS_RUN=$SAVED

read -r T_RPS T_P99 < <(run_wrk "$TRAVINE_PORT")
read -r N_RPS N_P99 < <(run_wrk "$NGINX_PORT")

OBJECTS=""
for _ in $(seq 1 50); do
    OBJECTS=$(curl -s "http://127.0.0.1:$TRAVINE_PORT/proxy/status" |
        python3 -c 'import json,sys; print(json.load(sys.stdin)["objects"])' 2>/dev/null || true)
    [ "$OBJECTS" = "0" ] && break
    sleep 0.1
done
COUNTED=$(curl -s "http://127.0.0.1:$TRAVINE_PORT/proxy/status" |
    python3 -c 'import json,sys; d=json.load(sys.stdin)["@bench"]; print(json.dumps(d, sort_keys=True))' 2>/dev/null || true)

printf '%-22s %12s %10s\n' "" "requests/s" "p99 ms"
printf '%-22s %12s %10s\n' "travine proxy" "$T_RPS" "$T_P99"
printf '%-22s %12s %10s\n' "nginx proxy_pass" "$N_RPS" "$N_P99"
python3 - "$T_RPS" "$N_RPS" "$T_P99" "$N_P99" <<'EOF'
import sys
t, n, tp, np_ = map(float, sys.argv[1:])
print(f"throughput travine/nginx: {t / n:.2f}" if n else "throughput ratio: n/a")
print(f"p99 travine/nginx:        {tp / np_:.2f}" if np_ else "p99 ratio: n/a")
EOF
echo "travine status after the load: objects $OBJECTS, counters $COUNTED"
echo "($CONNECTIONS connections, ${SECONDS_RUN}s each, proxies on cores $PROXY_CPUS, upstream on $UPSTREAM_CPUS, wrk on $WRK_CPUS)"
