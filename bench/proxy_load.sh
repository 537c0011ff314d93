#!/usr/bin/env bash
# Load benchmark of travine against what its users would run instead, by hand (never in CI).
# Each row starts the travine role under test and its peers on the same pinned cores, a
# loopback nginx upstream on cores of its own and wrk on the remaining cores, then loads
# each in turn with "Connection: close", so every request opens new connections on every
# leg (travine opens a new upstream connection per request, and so are the peers set up).
# Every figure is requests/s and the 99th percentile latency of one wrk run after a
# one-second warm-up; each row prints travine against the faster configuration of each peer.
# With ROUNDS above 1 the runs of a row take turns (travine, each peer, travine again, ...) and
# each figure is the median of its rounds: on a shared host the speed drifts within a minute,
# and turns spread that drift over every configuration alike.
#
#   bench/proxy_load.sh [seconds] [connections]          default 10 s, 64 connections
#   ROWS="router mask" bench/proxy_load.sh 5             only the rows named, in that order
#   ROUNDS=3 bench/proxy_load.sh 5                        each row's runs three times over, in turn
#
# Rows:
#   https     proxy with an https listener (TLS 1.2, full handshake per request, RSA 2048
#             certificate made at run time) vs nginx "listen ssl" + proxy_pass
#   upstream  proxy with a plain listener forwarding to an https upstream vs nginx
#             proxy_pass https:// with proxy_ssl_session_reuse off
#   router    the router role answering a VEX-FORCE-NODE request from its canned topology
#             vs nginx answering the same JSON with "return 200"
#   mask      mask-path proxy vs nginx proxy_pass and HAProxy (mode http, option httpclose)
#   zeb       proxy of a ZEB gateway asking the router (on the same cores), then relaying,
#             vs nginx auth_request to a decision server block (same process) + proxy_pass
#
# nginx runs twice in every row: with as many workers as it has cores (as many as travine runs
# loops per role, one per core of its affinity mask) and with as many as the machine reports
# (NGINX_WORKERS); HAProxy with nbthread equal to the cores. After its runs each travine process tree is checked: the proxy's status
# "objects" must be back to 0 and its counters must hold every answer wrk received (plus at
# most one in flight per connection when a run stops), and VmRSS of the master and of each
# role process is printed at rest and after the load.
#
# Full handshakes: wrk keeps its SSL object across reconnects and offers its previous session
# on every new connection; against nginx with its defaults (session tickets on) nearly every
# handshake of a wrk run resumes (1761 of 1763 when checked with $ssl_session_reused). So every
# nginx TLS server here runs with "ssl_session_tickets off" and "ssl_session_cache off" (and
# nginx as a client with proxy_ssl_session_reuse off); travine cannot resume at all: its TLS
# contexts keep no session cache and issue no tickets. Every TLS row checks its servers with
# "openssl s_client -reconnect" and prints how many reconnects resumed (must be 0).
#
# Environment: SUT_CPUS (cores of travine and its peers, default 0-1), UPSTREAM_CPUS (2-3: on
# one core the upstream is the bottleneck of the mask rows), WRK_CPUS (4 to the last core), WRK_THREADS (one per wrk core), NGINX_WORKERS (the second
# nginx configuration, default nproc), TRAVINE (default build-bench/travine, built in Release
# when it is not set), PERF_DIR (when set, travine's processes are recorded with perf record -g
# during each measured run, into PERF_DIR/<row>.data), KEEP=1 (keep the work directory with
# every configuration, log and wrk output). As root, missing tools are installed with apt-get.
# Only loopback addresses are used; every process started is stopped by its pid.
set -euo pipefail

DURATION=${1:-10}
CONNECTIONS=${2:-64}
ROWS=${ROWS:-https upstream router mask zeb}
ROUNDS=${ROUNDS:-1}
REPO=$(cd "$(dirname "$0")/.." && pwd)
NPROC=$(nproc)
SUT_CPUS=${SUT_CPUS:-0-1}
UPSTREAM_CPUS=${UPSTREAM_CPUS:-2-3}
WRK_CPUS=${WRK_CPUS:-4-$((NPROC - 1))}
NGINX_WORKERS=${NGINX_WORKERS:-$NPROC}

count_cpus() {  # a core list such as 0-1,4: prints how many cores it names
    local n=0 part
    for part in ${1//,/ }; do
        if [[ $part == *-* ]]; then n=$((n + ${part#*-} - ${part%-*} + 1)); else n=$((n + 1)); fi
    done
    echo "$n"
}
SUT_CORES=$(count_cpus "$SUT_CPUS")
UPSTREAM_CORES=$(count_cpus "$UPSTREAM_CPUS")
WRK_THREADS=${WRK_THREADS:-$(count_cpus "$WRK_CPUS")}

for row in $ROWS; do
    case $row in https | upstream | router | mask | zeb) ;; *) echo "unknown row: $row (rows: https upstream router mask zeb)" >&2; exit 1 ;; esac
done

# --- tools ----------------------------------------------------------------------------------

missing=()
for pair in wrk:wrk nginx:nginx haproxy:haproxy perf:linux-perf; do
    command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ]; then
        echo "installing ${missing[*]}" >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null ||
            { apt-get update >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null; }
    else
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    fi
fi
for tool in wrk nginx taskset curl openssl python3 ps; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
# The system's interpreter: a version manager's shim on PATH can take seconds per start.
PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=$(command -v python3)
if [[ " $ROWS " == *" mask "* ]] && ! command -v haproxy >/dev/null; then echo "missing: haproxy" >&2; exit 1; fi
if [ -n "${PERF_DIR:-}" ] && ! command -v perf >/dev/null; then echo "missing: perf" >&2; exit 1; fi

if [ -z "${TRAVINE:-}" ]; then
    TRAVINE=$REPO/build-bench/travine
    if [ ! -f "$REPO/build-bench/CMakeCache.txt" ]; then
        cmake -S "$REPO" -B "$REPO/build-bench" -DCMAKE_BUILD_TYPE=Release -DTRAVINE_TESTS=OFF >/dev/null
    fi
    # Always brought up to date, so the figures are those of the tree as it is.
    cmake --build "$REPO/build-bench" -j"$NPROC" --target travine >"$REPO/build-bench/bench-build.log" 2>&1 ||
        { tail -30 "$REPO/build-bench/bench-build.log" >&2; exit 1; }
fi
TRAVINE=$(realpath "$TRAVINE")
[ -x "$TRAVINE" ] || { echo "missing: $TRAVINE" >&2; exit 1; }

# --- process handling -----------------------------------------------------------------------

WORK=$(mktemp -d /tmp/proxy_load.XXXXXX)
mkdir -p "$WORK/results"
[ -n "${PERF_DIR:-}" ] && mkdir -p "$PERF_DIR" && PERF_DIR=$(realpath "$PERF_DIR")

started_at() {  # pid: its start time in clock ticks since boot, empty when it is gone
    sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f20
}

alive() {  # pid start-time: true while that very process exists and is not a zombie
    local stat
    stat=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$stat" ] && [ "${stat%% *}" != Z ] && [ "$(cut -d' ' -f20 <<<"$stat")" = "$2" ]
}

children_of() {  # pid: the pids of its children
    ps -o pid= --ppid "$1" | tr -d ' '
}

# Each row writes "m <pid> <start time>" for a process it started and "c <pid> <start time>"
# for a child of one into its pid file (the start time tells a pid used again by another
# process apart); stopping sends TERM to the started ones (they stop their children), waits
# up to 5 s for all, then kills what is left.
record_pid() {  # kind pid
    echo "$1 $2 $(started_at "$2")" >>"$RDIR/pids"
}

stop_pids() {  # pid file
    [ -f "$1" ] || return 0
    local kind pid start
    while read -r kind pid start; do
        [ "$kind" = m ] && alive "$pid" "$start" && kill -TERM "$pid" 2>/dev/null || true
    done <"$1"
    while read -r kind pid start; do
        for _ in $(seq 1 100); do alive "$pid" "$start" || break; sleep 0.05; done
        alive "$pid" "$start" && kill -KILL "$pid" 2>/dev/null || true
    done <"$1"
    rm -f "$1"
}

cleanup() {
    local f
    for f in "$WORK"/*/pids; do [ -f "$f" ] && stop_pids "$f"; done
    wait 2>/dev/null || true
    if [ "${KEEP:-0}" = 1 ]; then echo "work directory kept: $WORK" >&2; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
    "$PYTHON" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

wait_http() {  # url: waits up to 10 s until something answers there
    for _ in $(seq 1 200); do
        curl -sk -o /dev/null --max-time 1 "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "nothing answers at $1" >&2
    return 1
}

probe_travine() {  # url [header]: expect_200 for the travine of the row, whose counters see it
    expect_200 "$@"
    COMPLETED=$((COMPLETED + 1))
}

expect_200() {  # url [header]: one request must be answered 200
    local args=(-sk -o "$RDIR/probe.body" -w '%{http_code}' --max-time 5)
    [ -n "${2:-}" ] && args+=(-H "$2")
    local code
    code=$(curl "${args[@]}" "$1" || true)
    [ "$code" = 200 ] || { echo "$1 answers $code: $(head -c 300 "$RDIR/probe.body" 2>/dev/null)" >&2; return 1; }
}

launch() {  # cpus log cmd...: starts cmd pinned to the cores in the row directory; sets LAUNCHED
    local cpus=$1 log=$2
    shift 2
    (cd "$RDIR" && exec taskset -c "$cpus" "$@") >"$log" 2>&1 &
    LAUNCHED=$!
    record_pid m "$LAUNCHED"
}

note_children() {  # pid: records its children for the cleanup
    local child
    for child in $(children_of "$1"); do record_pid c "$child"; done
}

# --- nginx, HAProxy, travine ---------------------------------------------------------------

nginx_start() {  # name cpus workers http-block: one nginx master of its own; sets LAUNCHED
    local dir=$RDIR/$1
    mkdir -p "$dir"
    cat >"$dir/nginx.conf" <<EOF
daemon off;
master_process on;
worker_processes $3;
user root;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
worker_rlimit_nofile 65536;
events { worker_connections 8192; }
http {
    access_log off;
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
    ssl_protocols TLSv1.2;
    ssl_session_tickets off;
    ssl_session_cache off;
    $4
}
EOF
    launch "$2" "$dir/stderr" nginx -p "$dir" -c "$dir/nginx.conf"
}

# The loopback upstream: a fixed body over plain HTTP on UP_PORT and over TLS on UP_TLS_PORT.
upstream_start() {
    UP_PORT=$(free_port)
    UP_TLS_PORT=$(free_port)
    nginx_start upstream "$UPSTREAM_CPUS" "$UPSTREAM_CORES" "
    server { listen 127.0.0.1:$UP_PORT reuseport backlog=4096; keepalive_timeout 0;
        location / { default_type text/plain; return 200 'hello from upstream\n'; } }
    server { listen 127.0.0.1:$UP_TLS_PORT ssl reuseport backlog=4096; keepalive_timeout 0;
        ssl_certificate $CERT; ssl_certificate_key $KEY;
        location / { default_type text/plain; return 200 'hello from upstream\n'; } }"
    UP_PID=$LAUNCHED
    wait_http "http://127.0.0.1:$UP_PORT/"
    wait_http "https://127.0.0.1:$UP_TLS_PORT/"
    note_children "$UP_PID"
}

# Two nginx masters on the system-under-test cores with the same http block, in which @PORT@
# becomes each one's listen port and @DECISION@ another free port of each: NGINX_A with as
# many workers as cores, NGINX_B with NGINX_WORKERS. Sets NGINX_A_PORT, NGINX_B_PORT.
nginx_pair_start() {  # scheme http-block
    local which port pid block
    for which in A B; do
        port=$(free_port)
        block=${2//@PORT@/$port}
        block=${block//@DECISION@/$(free_port)}
        if [ $which = A ]; then nginx_start "nginx-a" "$SUT_CPUS" "$SUT_CORES" "$block"
        else nginx_start "nginx-b" "$SUT_CPUS" "$NGINX_WORKERS" "$block"; fi
        pid=$LAUNCHED
        wait_http "$1://127.0.0.1:$port/"
        note_children "$pid"
        printf -v "NGINX_${which}_PORT" %s "$port"
    done
}

haproxy_start() {  # port backend-port
    mkdir -p "$RDIR/haproxy"
    cat >"$RDIR/haproxy/haproxy.cfg" <<EOF
global
    nbthread $SUT_CORES
    maxconn 8000
    pidfile $RDIR/haproxy/haproxy.pid
defaults
    mode http
    # Closes both sides after every answer, as travine does.
    option httpclose
    timeout connect 10s
    timeout client 15s
    timeout server 15s
frontend bench
    bind 127.0.0.1:$1 backlog 4096
    default_backend upstream
backend upstream
    server upstream 127.0.0.1:$2
EOF
    launch "$SUT_CPUS" "$RDIR/haproxy/stderr" haproxy -db -f "$RDIR/haproxy/haproxy.cfg"
    wait_http "http://127.0.0.1:$1/"
}

# The router section of the bundled example, listening on the port and polling its own
# canned topology (served from mock_responces in the row directory).
router_section() {  # port
    cp -r "$REPO/examples/mock_responces" "$RDIR/"
    "$PYTHON" - "$REPO/examples/travine.json" "$1" <<'EOF'
import json, sys
router = json.load(open(sys.argv[1]))["router"]
base = f"http://127.0.0.1:{sys.argv[2]}"
router["listen"] = base
router["topology"]["url"] = base + "/mock/leaf-components"
router["route_token_service"]["url"] = base + "/mock/routetoken"
print(json.dumps(router))
EOF
}

travine_start() {  # type members: a gateway of that type with the JSON members given; sets TRAVINE_PID
    cat >"$RDIR/travine.json" <<EOF
{
    "type": "$1",
    "mav_root": "mav",
    "work_dir": "$RDIR",
    "pid_file": "$RDIR/travine.pid",
    "log": {"level": "warning", "redirect": "$RDIR/travine.log"},
    "ssl": {
        "server": {"verify": false, "cert": "$CERT", "key": "$KEY"},
        "client": {"cert": "$CERT", "key": "$KEY", "cafile": "$CERT"}
    },
    $2
}
EOF
    launch "$SUT_CPUS" "$RDIR/travine.out" "$TRAVINE" -c "$RDIR/travine.json"
    TRAVINE_PID=$LAUNCHED
}

# A gateway whose one proxy sends every target ("*") to one server; sets PORT.
travine_mask_proxy() {  # listen scheme, server URL
    PORT=$(free_port)
    travine_start PROXY "\"proxy\": {
        \"listen\": \"$1://127.0.0.1:$PORT\",
        \"locations\": {\"*\": \"@bench\"},
        \"@bench\": {\"$2\": {\"weight\": 1}}}"
    wait_http "$1://127.0.0.1:$PORT/proxy/status"
    travine_roles
}

travine_roles() {  # after its listeners answer: records the role processes
    note_children "$TRAVINE_PID"
    ROLE_PIDS=$(children_of "$TRAVINE_PID" | tr '\n' ' ')
    [ -n "$ROLE_PIDS" ] || { echo "travine started no role process" >&2; return 1; }
    rss_snapshot idle
}

rss_snapshot() {  # tag: VmRSS of the master and of each role process into RDIR/rss.<tag>
    local pid
    for pid in $TRAVINE_PID $ROLE_PIDS; do
        echo "$pid $(cat "/proc/$pid/comm" 2>/dev/null || echo gone) $(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)"
    done >"$RDIR/rss.$1"
}

tls_check() {  # label port: the negotiated cipher and key exchange, and how many of 5 reconnects resumed
    local out
    out=$(timeout 20 openssl s_client -connect "127.0.0.1:$2" -tls1_2 -reconnect </dev/null 2>/dev/null || true)
    printf '  %-10s %s, %s; resumed %s of %s reconnects\n' "$1:" \
        "$(grep -m1 -o '^New, .*' <<<"$out" || echo 'no handshake')" \
        "$(grep -m1 -o 'Server Temp Key: .*' <<<"$out" || true)" \
        "$(grep -c '^Reused,' <<<"$out" || true)" "$(($(grep -c '^\(New\|Reused\),' <<<"$out" || true) - 1))"
}

# --- measuring ------------------------------------------------------------------------------

ms() {  # a wrk latency (850.00us, 12.34ms, 1.20s, 2.00m) in milliseconds
    awk -v v="$1" 'BEGIN { n = v + 0; if (v ~ /us$/) n /= 1000; else if (v ~ /ms$/) ; else if (v ~ /m$/) n *= 60000; else if (v ~ /s$/) n *= 1000; printf "%.2f", n }'
}

cpu_busy() {  # before after cores: percent busy of those cores between two /proc/stat copies
    "$PYTHON" - "$@" <<'EOF'
import sys
def load(path):
    cores = {}
    for line in open(path):
        f = line.split()
        if f[0].startswith("cpu") and f[0] != "cpu":
            v = list(map(int, f[1:9]))
            cores[int(f[0][3:])] = (sum(v), v[3] + v[4])
    return cores
want = []
for part in sys.argv[3].split(","):
    lo, _, hi = part.partition("-")
    want += range(int(lo), int(hi or lo) + 1)
a, b = load(sys.argv[1]), load(sys.argv[2])
total = sum(b[c][0] - a[c][0] for c in want)
idle = sum(b[c][1] - a[c][1] for c in want)
print(round(100 * (total - idle) / total) if total else 0)
EOF
}

COMPLETED=0  # requests wrk completed against the travine of the row, warm-up included
WRK_RUNS=0   # wrk runs against the travine of the row, warm-ups included

# family label url [header]: a one-second warm-up, then the measured run; appends
# "family|label|requests/s|p99 ms|requests|errors|busy%|upstream busy%" to the row's results.
measure() {
    local family=$1 label=$2 url=$3 header=${4:-} out=$RDIR/wrk.$1.${2// /_}
    local args=(-t"$WRK_THREADS" -c"$CONNECTIONS" --latency --timeout 10s -H "Connection: close")
    [ -n "$header" ] && args+=(-H "$header")
    taskset -c "$WRK_CPUS" wrk "${args[@]}" -d1s "$url" >"$out.warm" 2>&1
    local warm perf_pid=
    warm=$(awk '/ requests in / {print $1}' "$out.warm")
    if [ "$family" = travine ] && [ -n "${PERF_DIR:-}" ]; then
        perf record -q -g -o "$PERF_DIR/$ROW.data" -p "$(echo "$TRAVINE_PID $ROLE_PIDS" | xargs | tr ' ' ,)" \
            -- sleep "$DURATION" >"$RDIR/perf.out" 2>&1 &
        perf_pid=$!
        record_pid m "$perf_pid"
    fi
    cp /proc/stat "$RDIR/stat.before"
    taskset -c "$WRK_CPUS" wrk "${args[@]}" -d"${DURATION}s" "$url" >"$out" 2>&1
    cp /proc/stat "$RDIR/stat.after"
    [ -n "$perf_pid" ] && { wait "$perf_pid" || true; }
    local rps p99 count errors
    rps=$(awk '/^Requests\/sec:/ {print $2}' "$out")
    p99=$(ms "$(awk '$1 == "99%" {print $2}' "$out")")
    count=$(awk '/ requests in / {print $1}' "$out")
    errors=$(awk '/Socket errors:/ {gsub(",", ""); e = $4 + $6 + $8 + $10} /Non-2xx or 3xx/ {e += $NF} END {print e + 0}' "$out")
    [ "$family" = travine ] && COMPLETED=$((COMPLETED + ${warm:-0} + ${count:-0})) && WRK_RUNS=$((WRK_RUNS + 2))
    echo "$family|$label|${rps:-0}|${p99:-0}|${count:-0}|$errors|$(cpu_busy "$RDIR/stat.before" "$RDIR/stat.after" "$SUT_CPUS")|$(cpu_busy "$RDIR/stat.before" "$RDIR/stat.after" "$UPSTREAM_CPUS")" \
        >>"$WORK/results/$ROW"
}

# travine url, nginx scheme, [header], [haproxy url]: travine, both nginx configurations and
# HAProxy when it runs in the row, in turn, ROUNDS times.
measure_rounds() {
    local url=$1 scheme=$2 header=${3:-} haproxy_url=${4:-}
    for _ in $(seq 1 "$ROUNDS"); do
        measure travine travine "$url" "$header"
        measure nginx "nginx $SUT_CORES workers" "$scheme://127.0.0.1:$NGINX_A_PORT/bench" "$header"
        measure nginx "nginx $NGINX_WORKERS workers" "$scheme://127.0.0.1:$NGINX_B_PORT/bench" "$header"
        [ -z "$haproxy_url" ] || measure haproxy "haproxy $SUT_CORES threads" "$haproxy_url"
    done
}

# The proxy's status once its load has stopped: "objects" back to 0 (waited for up to 10 s)
# and every relayed answer counted; wrk stops with up to one request per connection in flight,
# which the proxy may still relay and count.
proxy_check() {  # status url
    local doc
    for _ in $(seq 1 100); do
        doc=$(curl -sk --max-time 2 "$1" || true)
        [ "$("$PYTHON" -c 'import json,sys; print(json.loads(sys.argv[1])["objects"])' "$doc" 2>/dev/null)" = 0 ] && break
        sleep 0.1
    done
    "$PYTHON" - "$doc" "$COMPLETED" "$((WRK_RUNS * CONNECTIONS))" <<'EOF'
import json, sys
try:
    doc = json.loads(sys.argv[1])
except ValueError:
    print("  travine proxy status: unreadable:", sys.argv[1][:200]); sys.exit()
completed, in_flight = int(sys.argv[2]), int(sys.argv[3])
relayed, own = {}, {}
for key, upstream in doc.items():
    if "@" not in key or not isinstance(upstream, dict):
        continue
    for peer in upstream.values():
        for status, n in peer.items():
            if status == "proxy":
                for s, m in n.items(): own[s] = own.get(s, 0) + m
            else:
                relayed[status] = relayed.get(status, 0) + n
counted = sum(relayed.values())
ok = doc.get("objects") == 0 and not own and set(relayed) <= {"200"} and 0 <= counted - completed <= in_flight
print(f'  travine proxy status: objects {doc.get("objects")}; counted {counted} relayed answers '
      f'{json.dumps(relayed, sort_keys=True)}, own answers {json.dumps(own, sort_keys=True)}; '
      f'wrk completed {completed} (up to {in_flight} more in flight when the runs stopped): '
      + ("ok" if ok else "NOT OK"))
EOF
}

router_active() {  # router port: the router's "active" count
    curl -s --max-time 2 "http://127.0.0.1:$1/status" |
        "$PYTHON" -c 'import json,sys; print(json.load(sys.stdin)["routing"]["active"])' 2>/dev/null || echo "?"
}

# The router's status once the load has stopped: "active" back to what it was at rest
# (waited for up to 10 s) and its connection count against the requests wrk completed.
router_check() {  # router port, "active" at rest
    local doc
    for _ in $(seq 1 100); do
        doc=$(curl -s --max-time 2 "http://127.0.0.1:$1/status" || true)
        [ "$("$PYTHON" -c 'import json,sys; print(json.loads(sys.argv[1])["routing"]["active"])' "$doc" 2>/dev/null)" = "$2" ] && break
        sleep 0.1
    done
    "$PYTHON" - "$doc" "$COMPLETED" "$2" <<'EOF'
import json, sys
try:
    routing = json.loads(sys.argv[1])["routing"]
except (ValueError, KeyError):
    print("  travine router status: unreadable:", sys.argv[1][:200]); sys.exit()
rules = {r.get("name", "?"): {k: r.get(k) for k in ("success", "failed")} for r in routing.get("rules", [])}
total, completed = routing.get("total", 0), int(sys.argv[2])
ok = str(routing.get("active")) == sys.argv[3] and total >= completed
print(f'  travine router status: active {routing.get("active")} (at rest before the load: {sys.argv[3]}), '
      f'total {total} connections (wrk completed {completed}; the rest are status and topology requests '
      f'and requests in flight when the runs stopped); rules {json.dumps(rules, sort_keys=True)}: '
      + ("ok" if ok else "NOT OK"))
EOF
}

rss_report() {
    rss_snapshot load
    "$PYTHON" - "$RDIR/rss.idle" "$RDIR/rss.load" "$CONNECTIONS" <<'EOF'
import sys
def load(path):
    return {f[0]: (f[1], int(f[2])) for f in (l.split() for l in open(path)) if len(f) == 3}
idle, after = load(sys.argv[1]), load(sys.argv[2])
parts = []
for i, (pid, (name, kb)) in enumerate(idle.items()):
    role = "master" if i == 0 else name
    parts.append(f"{role} {pid} {kb / 1024:.1f} MB at rest, {after.get(pid, ('', 0))[1] / 1024:.1f} MB after the {sys.argv[3]}-connection runs")
print("  travine VmRSS: " + "; ".join(parts))
EOF
}

# --- rows ----------------------------------------------------------------------------------

row_https() {
    echo "== https: HTTPS listener (TLS 1.2, full handshake per request, RSA 2048) to a plain upstream"
    upstream_start
    travine_mask_proxy https "http://127.0.0.1:$UP_PORT"
    local port=$PORT
    nginx_pair_start https "server { listen 127.0.0.1:@PORT@ ssl reuseport backlog=4096; keepalive_timeout 0;
        ssl_certificate $CERT; ssl_certificate_key $KEY;
        location / { proxy_pass http://127.0.0.1:$UP_PORT; } }"
    probe_travine "https://127.0.0.1:$port/bench"
    expect_200 "https://127.0.0.1:$NGINX_A_PORT/bench"
    tls_check travine "$port"
    tls_check nginx "$NGINX_A_PORT"
    measure_rounds "https://127.0.0.1:$port/bench" https
    proxy_check "https://127.0.0.1:$port/proxy/status"
    rss_report
}

row_upstream() {
    echo "== upstream: plain listener, TLS 1.2 leg to an https upstream (full handshake per request)"
    upstream_start
    travine_mask_proxy http "https://127.0.0.1:$UP_TLS_PORT"
    local port=$PORT
    # Verifying the upstream's certificate, as travine always does.
    nginx_pair_start http "server { listen 127.0.0.1:@PORT@ reuseport backlog=4096; keepalive_timeout 0;
        location / { proxy_pass https://127.0.0.1:$UP_TLS_PORT; proxy_ssl_session_reuse off;
            proxy_ssl_protocols TLSv1.2; proxy_ssl_verify on; proxy_ssl_trusted_certificate $CERT;
            proxy_ssl_name localhost; } }"
    probe_travine "http://127.0.0.1:$port/bench"
    expect_200 "http://127.0.0.1:$NGINX_A_PORT/bench"
    tls_check "upstream" "$UP_TLS_PORT"
    measure_rounds "http://127.0.0.1:$port/bench" http
    proxy_check "http://127.0.0.1:$port/proxy/status"
    rss_report
}

FORCE_NODE="VEX-FORCE-NODE: mav.zone1.node1"

wait_topology() {  # router port: until the router holds its first topology snapshot (10 s)
    for _ in $(seq 1 100); do
        curl -s --max-time 1 "http://127.0.0.1:$1/topology" |
            "$PYTHON" -c 'import json,sys; sys.exit(json.load(sys.stdin).get("topology") is None)' 2>/dev/null && return 0
        sleep 0.1
    done
    echo "the router has no topology after 10 s" >&2
    return 1
}

row_router() {
    echo "== router: the router role answering '$FORCE_NODE' from its canned topology"
    local port body
    port=$(free_port)
    travine_start ZEB "\"router\": $(router_section "$port")"
    wait_http "http://127.0.0.1:$port/status"
    wait_topology "$port"
    travine_roles
    local at_rest
    at_rest=$(router_active "$port")
    probe_travine "http://127.0.0.1:$port/bench" "$FORCE_NODE"
    body=$(cat "$RDIR/probe.body")
    echo "  router answer: $body"
    [[ $body != *"'"* ]] || { echo "the router's answer holds a quote" >&2; return 1; }
    nginx_pair_start http "server { listen 127.0.0.1:@PORT@ reuseport backlog=4096; keepalive_timeout 0;
        location / { default_type application/json; return 200 '$body'; } }"
    measure_rounds "http://127.0.0.1:$port/bench" http "$FORCE_NODE"
    router_check "$port" "$at_rest"
    rss_report
}

row_mask() {
    echo "== mask: mask-path proxy to a plain upstream"
    upstream_start
    travine_mask_proxy http "http://127.0.0.1:$UP_PORT"
    local port=$PORT haproxy_port
    # proxy_pass speaks HTTP/1.0 to the upstream by default: a new connection per request.
    nginx_pair_start http "server { listen 127.0.0.1:@PORT@ reuseport backlog=4096; keepalive_timeout 0;
        location / { proxy_pass http://127.0.0.1:$UP_PORT; } }"
    haproxy_port=$(free_port)
    haproxy_start "$haproxy_port" "$UP_PORT"
    probe_travine "http://127.0.0.1:$port/bench"
    measure_rounds "http://127.0.0.1:$port/bench" http "" "http://127.0.0.1:$haproxy_port/bench"
    proxy_check "http://127.0.0.1:$port/proxy/status"
    rss_report
}

row_zeb() {
    echo "== zeb: proxy of a ZEB gateway asking the router (same cores), then relaying to a plain upstream"
    upstream_start
    local port router_port
    port=$(free_port)
    router_port=$(free_port)
    travine_start ZEB "\"router\": $(router_section "$router_port"),
        \"proxy\": {
        \"listen\": \"http://127.0.0.1:$port\",
        \"@mav_zone1_node1\": {\"http://127.0.0.1:$UP_PORT\": {\"weight\": 1}}}"
    wait_http "http://127.0.0.1:$port/proxy/status"
    wait_http "http://127.0.0.1:$router_port/status"
    wait_topology "$router_port"
    travine_roles
    local at_rest
    at_rest=$(router_active "$router_port")
    probe_travine "http://127.0.0.1:$port/bench" "$FORCE_NODE"
    # The decision server answers like the router (its JSON) with the cluster in a header; the
    # front asks it per request over a new connection and proxies to the upstream it names.
    local block="upstream mav_zone1_node1 { server 127.0.0.1:$UP_PORT; }
    server { listen 127.0.0.1:@DECISION@ reuseport backlog=4096; keepalive_timeout 0;
        location / { default_type application/json; add_header X-Cluster mav_zone1_node1;
            return 200 '{\"alias\":\"zone1.node1\",\"cluster\":\"@mav_zone1_node1\",\"rule\":\"VexForceNode\",\"url\":\"\$request_uri\"}'; } }
    server { listen 127.0.0.1:@PORT@ reuseport backlog=4096; keepalive_timeout 0;
        location / { auth_request /.route; auth_request_set \$cluster \$upstream_http_x_cluster;
            proxy_pass http://\$cluster; }
        location = /.route { internal; proxy_pass http://127.0.0.1:@DECISION@;
            proxy_pass_request_body off; proxy_set_header Content-Length ''; } }"
    nginx_pair_start http "$block"
    expect_200 "http://127.0.0.1:$NGINX_A_PORT/bench"
    measure_rounds "http://127.0.0.1:$port/bench" http "$FORCE_NODE"
    proxy_check "http://127.0.0.1:$port/proxy/status"
    router_check "$router_port" "$at_rest"
    rss_report
}

# --- report ----------------------------------------------------------------------------------

cat >"$WORK/report.py" <<'EOF'
import sys
# Result lines: family|label|requests/s|p99 ms|requests|errors|busy%|upstream busy%
def rows(path):
    """One line per configuration: the median of its rounds' rates, p99s and busy figures, the
    sums of their requests and errors."""
    lines = [l.rstrip("\n").split("|") for l in open(path) if l.count("|") == 7]
    out = []
    for key in dict.fromkeys((l[0], l[1]) for l in lines):
        runs = [l for l in lines if (l[0], l[1]) == key]
        def median(i):
            vs = sorted(float(l[i]) for l in runs)
            return vs[len(vs) // 2] if len(vs) % 2 else (vs[len(vs) // 2 - 1] + vs[len(vs) // 2]) / 2
        total = lambda i: str(sum(int(l[i]) for l in runs))
        out.append([key[0], key[1], str(median(2)), str(median(3)), total(4), total(5),
                    str(round(median(6))), str(round(median(7))), len(runs)])
    return out
def ratios(lines):
    """(family, best line, throughput ratio, p99 ratio) for each peer family, against travine."""
    travine = next((l for l in lines if l[0] == "travine"), None)
    out = []
    for family in dict.fromkeys(l[0] for l in lines if l[0] != "travine"):
        best = max((l for l in lines if l[0] == family), key=lambda l: float(l[2]))
        # A run without a single answer has no latency to compare.
        t = travine and float(best[2]) and float(travine[2]) / float(best[2])
        p = travine and int(travine[4]) and float(best[3]) and float(travine[3]) / float(best[3])
        out.append((family, best, t, p))
    return travine, out
fmt = lambda v: f"{v:.2f}" if v else "n/a"
if sys.argv[1] == "row":
    lines = rows(sys.argv[2])
    print(f'  {"":<22}{"requests/s":>12}{"p99 ms":>10}{"requests":>10}{"errors":>8}{"busy%":>7}{"upstream%":>10}')
    for l in lines:
        p99 = f"{float(l[3]):.2f}" if int(l[4]) else "-"
        print(f"  {l[1]:<22}{float(l[2]):>12.0f}{p99:>10}{l[4]:>10}{l[5]:>8}{l[6]:>7}{l[7]:>10}")
    travine, peers = ratios(lines)
    for family, best, t, p in peers:
        print(f"  travine / {best[1]} (the faster {family}): throughput {fmt(t)}, p99 {fmt(p)}")
else:
    print(f'{"row":<10}{"travine r/s":>12}{"p99 ms":>9}   {"peer (faster configuration)":<22}{"r/s":>9}{"p99 ms":>9}{"r/s ratio":>11}{"p99 ratio":>11}')
    for path in sys.argv[2:]:
        name = path.rsplit("/", 1)[-1]
        travine, peers = ratios(rows(path))
        if not travine:
            print(f"{name:<10}  no figures"); continue
        for family, best, t, p in peers:
            p99 = f"{float(travine[3]):.2f}" if int(travine[4]) else "-"
            print(f"{name:<10}{float(travine[2]):>12.0f}{p99:>9}   {best[1]:<22}{float(best[2]):>9.0f}{float(best[3]):>9.2f}{fmt(t):>11}{fmt(p):>11}")
EOF

# --- run ------------------------------------------------------------------------------------

CERT=$WORK/cert.pem
KEY=$WORK/key.pem
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$KEY" -out "$CERT" -days 2 -subj /CN=localhost \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" 2>/dev/null

echo "travine $TRAVINE ($SUT_CORES loops per role: one per core it may use); travine and its peers on cores $SUT_CPUS, upstream on $UPSTREAM_CPUS, wrk on $WRK_CPUS ($WRK_THREADS threads)"
echo "$CONNECTIONS connections, ${DURATION}s per run after a 1 s warm-up, $ROUNDS round(s) per row (medians), Connection: close; busy% is of the cores $SUT_CPUS, upstream% of $UPSTREAM_CPUS"
FAILED=()
for ROW in $ROWS; do
    RDIR=$WORK/$ROW
    mkdir -p "$RDIR"
    set +e
    (
        set -e
        trap 'stop_pids "$RDIR/pids"' EXIT
        trap 'exit 130' INT TERM
        "row_$ROW"
    )
    rc=$?
    set -e
    [ -f "$WORK/results/$ROW" ] && "$PYTHON" "$WORK/report.py" row "$WORK/results/$ROW"
    if [ $rc != 0 ]; then
        FAILED+=("$ROW")
        echo "  row $ROW could not be completed (status $rc); its logs: $RDIR" >&2
        tail -5 "$RDIR"/travine.log "$RDIR"/*/error.log 2>/dev/null | sed 's/^/    /' >&2 || true
        KEEP=1
    fi
done

echo
echo "== summary ($CONNECTIONS connections, ${DURATION}s, Connection: close; ratios travine / peer)"
results=()
for ROW in $ROWS; do [ -f "$WORK/results/$ROW" ] && results+=("$WORK/results/$ROW"); done
[ ${#results[@]} -gt 0 ] && "$PYTHON" "$WORK/report.py" summary "${results[@]}"
[ ${#FAILED[@]} -eq 0 ] || { echo "rows not completed: ${FAILED[*]}"; exit 1; }
