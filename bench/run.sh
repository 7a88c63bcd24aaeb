#!/usr/bin/env bash
# The gateway measured against a direct connection to the SMSC simulator.
#
#   bench/run.sh            full run (10 s per load scenario)
#   bench/run.sh --smoke    every scenario for about 2 s (for CI; no thresholds)
#   bench/run.sh --profile  also profile the gateway under the throughput load
#
# Builds the gateway and the tools in Release (build-release/), starts
# quorvex-smsc-sim, then for each load runs quorvex-loadgen directly against
# the simulator and through a quorvex started in a scratch directory whose
# target set points at the same simulator:
#   1. throughput: BENCH_SESSIONS sessions, window BENCH_WINDOW, BENCH_SECONDS
#      latency:    1 session, window 1, BENCH_LATENCY_SECONDS
#   2. many sessions: BENCH_MANY_SESSIONS transceivers bound at once; the
#      gateway's memory and the time to bind them all
#   3. receipts: throughput load with receipts on, directly and through the
#      gateway; receipt rate and submit->receipt latency
#   4. store: the message-id store filled with BENCH_STORE_MAPPINGS live
#      mappings; memory holding them, put and take cost, close and reopen
#   5. routing (only when named in BENCH_SCENARIOS): the throughput load
#      through gateways whose global MT rules are 1, 1,000, 10,000 and
#      100,000 exact rules, only the last of which matches, and the time to
#      compile each list
#   6. binds (only when named in BENCH_SCENARIOS): the throughput load
#      through a target set of 1 target, of 100 targets, and of 100 targets
#      of which 99 are admin down, each target with BENCH_UPSTREAM_BINDS binds
#      to the simulator
#   7. tls: the throughput and window-1 loads through a gateway whose ESMEs
#      and SMSC binds all speak TLS (certificate made with openssl), next to
#      the same loads through a gateway in clear, and directly over TLS
#   8. soak (only when named in BENCH_SCENARIOS): the receipt load through
#      one gateway for BENCH_SOAK_SECONDS at half the rate a short unlimited
#      run reached, sampling the gateway's RSS, open descriptors and
#      message-id store size every BENCH_SOAK_SAMPLE_SECONDS
# Each gateway run is a fresh process, so its peak memory (VmHWM) and CPU
# time (utime+stime during the load) belong to that scenario alone.
#
# These are measurements, not tests: the script fails only when something
# does not run (a build, a start, a bind, missing responses), never on a
# figure.
#
# Environment (defaults in brackets; --smoke shortens the durations):
#   BENCH_SECONDS [10, smoke 2]      throughput and receipt scenarios
#   BENCH_LATENCY_SECONDS [BENCH_SECONDS]
#   BENCH_RECEIPT_SECONDS [BENCH_SECONDS]
#   BENCH_RECEIPT_DELAY_MS [0]       the simulator's delay from response to receipt
#   BENCH_RECEIPT_SESSIONS [4]       transceivers of the receipt load (below the
#                                    ESME limit; fewer messages in flight, so
#                                    receipt latency is not queueing)
#   BENCH_SESSIONS [16]  BENCH_WINDOW [100] (an ESME session may submit at most
#                                    65535/s: fewer sessions would measure that
#                                    limit, not the gateway)
#   BENCH_MANY_SESSIONS [1000]  BENCH_MANY_SECONDS [3, smoke 1]  (sessions held
#                                    bound at a low submit rate)
#   BENCH_STORE_MAPPINGS [10000000, smoke 200000]  live mappings of scenario 4
#   BENCH_SCENARIOS [throughput latency many receipts store tls]  the scenarios to run
#   BENCH_SOAK_SECONDS [600, smoke 20]  BENCH_SOAK_SAMPLE_SECONDS [10, smoke 2]
#   BENCH_SOAK_RATE [half the measured maximum]  submits per second of the soak
#   BENCH_UPSTREAM_BINDS [4]         the gateway's binds to the simulator
#   BENCH_PROFILE_SECONDS [5]        load time under the profiler
#   BENCH_PROFILE_RECEIPTS [0]       1 profiles the load with receipts on
#   BENCH_PROFILER [auto]            perf (when hardware counters work) or callgrind
#   BENCH_PERF_ARGS [-g]             perf record options (for example --call-graph dwarf)
#   BENCH_BUILD [1]                  0 skips installing and building
#   BENCH_BUILD_JOBS [nproc]         ninja -j for the build
#   BENCH_WORKDIR [mktemp -d]        scratch directory (logs, configurations)
#   BENCH_KEEP [0]                   1 keeps the scratch directory
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

smoke=0
profile=0
for arg in "$@"; do
  case "$arg" in
    --smoke) smoke=1 ;;
    --profile) profile=1 ;;
    -h | --help)
      sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "usage: $0 [--smoke] [--profile]" >&2
      exit 2
      ;;
  esac
done

if [ "$smoke" = 1 ]; then
  seconds=${BENCH_SECONDS:-2}
  many_seconds=${BENCH_MANY_SECONDS:-1}
  store_mappings=${BENCH_STORE_MAPPINGS:-200000}
  soak_seconds=${BENCH_SOAK_SECONDS:-20}
  soak_sample=${BENCH_SOAK_SAMPLE_SECONDS:-2}
else
  seconds=${BENCH_SECONDS:-10}
  many_seconds=${BENCH_MANY_SECONDS:-3}
  store_mappings=${BENCH_STORE_MAPPINGS:-10000000}
  soak_seconds=${BENCH_SOAK_SECONDS:-600}
  soak_sample=${BENCH_SOAK_SAMPLE_SECONDS:-10}
fi
latency_seconds=${BENCH_LATENCY_SECONDS:-$seconds}
receipt_seconds=${BENCH_RECEIPT_SECONDS:-$seconds}
receipt_sessions=${BENCH_RECEIPT_SESSIONS:-4}
receipt_delay=${BENCH_RECEIPT_DELAY_MS:-0}
sessions=${BENCH_SESSIONS:-16}
window=${BENCH_WINDOW:-100}
many=${BENCH_MANY_SESSIONS:-1000}
upstream_binds=${BENCH_UPSTREAM_BINDS:-4}
profile_seconds=${BENCH_PROFILE_SECONDS:-5}
profiler=${BENCH_PROFILER:-auto}
build_jobs=${BENCH_BUILD_JOBS:-$(nproc)}
scenarios=" ${BENCH_SCENARIOS:-throughput latency many receipts store tls} "
wanted() { [[ "$scenarios" == *" $1 "* ]]; }

bin=$root/build-release
if [ "${BENCH_BUILD:-1}" = 1 ]; then
  bash scripts/install-deps.sh
  # The flags of scripts/build.sh release, with a chosen job count.
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEX_TESTS=OFF >/dev/null
  ninja -C build-release -j "$build_jobs" quorvex quorvex-smsc-sim quorvex-loadgen \
    quorvex-msgstore-bench quorvex-route-bench
fi
for exe in quorvex quorvex-smsc-sim quorvex-loadgen; do
  path=$bin/$exe
  [ "$exe" = quorvex ] || path=$bin/tools/$exe
  if [ ! -x "$path" ]; then
    echo "bench: $path missing (build with BENCH_BUILD=1)" >&2
    exit 1
  fi
done
gateway_exe=$bin/quorvex
sim_exe=$bin/tools/quorvex-smsc-sim
loadgen_exe=$bin/tools/quorvex-loadgen
store_bench_exe=$bin/bench/quorvex-msgstore-bench
route_bench_exe=$bin/bench/quorvex-route-bench

# 1000 sessions need more descriptors than the usual soft limit of 1024, in
# the gateway and in the load generator alike.
hard=$(ulimit -Hn)
want=$((many * 2 + 256))
if [ "$hard" = unlimited ] || [ "$hard" -ge "$want" ]; then
  ulimit -n "$want" 2>/dev/null || true
else
  ulimit -n "$hard" 2>/dev/null || true
fi

work=${BENCH_WORKDIR:-$(mktemp -d /tmp/quorvex-bench.XXXXXX)}
mkdir -p "$work"
sim_pid=""
tls_sim_pid=""
gw_pid=""
failures=0

cleanup() {
  if [ -n "${soak_pid:-}" ]; then kill -TERM "$soak_pid" 2>/dev/null || true; fi
  if [ -n "$gw_pid" ]; then kill -TERM "$gw_pid" 2>/dev/null || true; fi
  if [ -n "$sim_pid" ]; then kill -TERM "$sim_pid" 2>/dev/null || true; fi
  if [ -n "$tls_sim_pid" ]; then kill -TERM "$tls_sim_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  if [ "${BENCH_KEEP:-0}" != 1 ] && [ -z "${BENCH_WORKDIR:-}" ]; then
    rm -rf "$work"
  else
    echo "bench: scratch directory kept: $work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Two distinct free TCP ports on the loopback, held open together while chosen.
free_ports() {
  python3 - "$1" <<'EOF'
import socket, sys
held = []
for _ in range(int(sys.argv[1])):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    held.append(s)
print(" ".join(str(s.getsockname()[1]) for s in held))
EOF
}

# wait_for FILE REGEX SECONDS PID [COUNT]: until FILE has COUNT lines matching.
wait_for() {
  local file=$1 pattern=$2 limit=$3 pid=$4 count=${5:-1}
  local deadline=$((SECONDS + limit))
  while :; do
    local n
    n=$(grep -c -E -- "$pattern" "$file" 2>/dev/null || true)
    [ "${n:-0}" -ge "$count" ] && return 0
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "bench: process $pid ended while waiting for '$pattern' in $file" >&2
      tail -n 20 "$file" >&2 || true
      return 1
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "bench: no '$pattern' in $file after ${limit}s" >&2
      tail -n 20 "$file" >&2 || true
      return 1
    fi
    sleep 0.05
  done
}

# field LINE KEY: the value of KEY=VALUE in a result line ("" when absent).
field() {
  tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p" | head -n 1
}

clock_ticks=$(getconf CLK_TCK)
# CPU seconds (user+system, all threads) of a process so far.
cpu_seconds() {
  awk -v hz="$clock_ticks" '{ sub(/^.*\) /, ""); printf "%.2f", ($12 + $13) / hz }' "/proc/$1/stat"
}
# A /proc/PID/status value in kB (VmHWM, VmRSS).
status_kb() {
  awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"
}
# TcpExt ListenOverflows of the network namespace: connections whose SYN was
# dropped because a listen queue was full (the client retries after 1 s).
listen_overflows() {
  awk '$1 == "TcpExt:" { if (!n) { for (i = 2; i <= NF; i++) if ($i == "ListenOverflows") c = i; n = 1 } else print $c }' \
    /proc/net/netstat 2>/dev/null || echo 0
}
mib() {
  awk -v kb="$1" 'BEGIN { printf "%.1f MiB", kb / 1024 }'
}

# ---------------------------------------------------------------------------
# The simulator, shared by every scenario.
"$sim_exe" --port 0 --receipts text --receipt-delay-ms "$receipt_delay" >"$work/sim.out" 2>&1 &
sim_pid=$!
wait_for "$work/sim.out" '^smsc-sim listening port=' 10 "$sim_pid"
sim_port=$(sed -n 's/^smsc-sim listening port=\([0-9]*\).*/\1/p' "$work/sim.out" | head -n 1)

gateway_runs=0
gateway_routes="" # a file with the "routes-mt" list of the next gateways; empty: none
gateway_targets=1 # targets in the next gateways' target set, each with BENCH_UPSTREAM_BINDS binds
gateway_targets_up=""  # how many of them (the first ones) are not admin down; empty: all
gateway_tls=0          # 1: ESMEs on a TLS port, binds over TLS to $gateway_sim_port
gateway_sim_port=$sim_port      # the simulator the next gateways bind to...
gateway_sim_out=$work/sim.out   # ...and its output
# start_gateway NAME [WRAPPER...]: a fresh gateway in $work/NAME whose target
# set holds $gateway_targets targets of BENCH_UPSTREAM_BINDS binds each, all
# to the simulator; ESME "bench"/"pw".
start_gateway() {
  local name=$1
  shift
  local dir=$work/$name
  rm -rf "$dir"
  mkdir -p "$dir"
  local ports smpp_port http_port tls_port up=${gateway_targets_up:-$gateway_targets}
  ports=$(free_ports 3)
  read -r smpp_port http_port tls_port <<<"$ports"
  cat >"$dir/quorvex.conf" <<EOF
{
  "base": {
    "smpp.port": $smpp_port,
    "http.port": $http_port,
    "smpp.max_connections_per_ip": $((many + 100))$(if [ "$gateway_tls" = 1 ]; then
    printf ',\n    "smpp.tls_port": %s, "tls.cert_file": "%s", "tls.key_file": "%s"' \
      "$tls_port" "$work/tls.pem" "$work/tls.key"
  fi)
  },
  "cdr": { "batch_flush_interval": 1 },
  "targetsets": [
    {
      "id": "bench",
      "name": "Benchmark",
      "submits_enabled": true,
      "targets": [
$(for ((t = 1; t <= gateway_targets; t++)); do
    [ "$t" = 1 ] || echo ','
    cat <<TARGET
        {
          "name": "sim$([ "$t" = 1 ] || echo "$t")",
          "host": "127.0.0.1",
          "port": $gateway_sim_port,$([ "$gateway_tls" = 1 ] && printf '\n          "tls": true, "tls_ca_file": "%s",' "$work/tls.pem")
          "bindqty": $upstream_binds,
          "systemid": "gw",
          "password": "",
          "systemtype": "",
          "weight": 1,
          "admindown": $([ "$t" -le "$up" ] && echo false || echo true),
          "tpslimit": 10000000
        }
TARGET
  done)
      ]
    }
  ],
  "routes-mt": $(if [ -n "$gateway_routes" ]; then cat "$gateway_routes"; else echo '[]'; fi),
  "esme": [
    { "systemid": "bench", "password": "pw", "sharedtargetsetid": "bench" }
  ]
}
EOF
  # Every connection of the benchmark comes from 127.0.0.1: whitelisted, it
  # is never rate-blocked nor held to the per-address limit.
  echo "127.0.0.1" >"$dir/ipwhitelist.conf"
  local binds_before
  binds_before=$(grep -c '^smsc-sim bind system_id=gw ' "$gateway_sim_out" || true)
  (cd "$dir" && exec "$@" "$gateway_exe" >"$dir/gateway.out" 2>&1) &
  gw_pid=$!
  gw_port=$smpp_port
  [ "$gateway_tls" = 1 ] && gw_port=$tls_port
  gw_dir=$dir
  local limit=20
  [ $# -gt 0 ] && limit=180
  wait_for "$dir/gateway.out" 'Listening for SMPP on port' "$limit" "$gw_pid"
  wait_for "$gateway_sim_out" '^smsc-sim bind system_id=gw ' "$limit" "$gw_pid" \
    $((binds_before + upstream_binds * up))
  gateway_runs=$((gateway_runs + 1))
}

stop_gateway() {
  local began status=0
  began=$(date +%s.%N)
  kill -TERM "$gw_pid" 2>/dev/null || true
  wait "$gw_pid" || status=$?
  gw_pid=""
  gw_stop_seconds=$(awk -v a="$began" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
  if [ "$status" -ne 0 ]; then
    echo "bench: gateway exited with status $status" >&2
    failures=$((failures + 1))
  fi
}

# loadgen PORT ARGS...: runs the load generator, prints and returns its result
# line in $result; a non-zero exit is reported and counted.
loadgen() {
  local port=$1
  shift
  local out status=0
  out=$("$loadgen_exe" --port "$port" --system-id bench --password pw "$@" 2>"$work/loadgen.err") ||
    status=$?
  result=$(grep '^loadgen result' <<<"$out" || true)
  if [ "$status" -ne 0 ]; then
    echo "bench: quorvex-loadgen exited with status $status: $(cat "$work/loadgen.err")" >&2
    failures=$((failures + 1))
  fi
}

# gateway_load NAME ARGS...: a fresh gateway, one load through it, its CPU time
# during the load and its peak memory; sets $result, $gw_cpu, $gw_hwm_kb.
gateway_load() {
  local name=$1
  shift
  start_gateway "$name"
  local idle_kb cpu_before
  idle_kb=$(status_kb "$gw_pid" VmRSS)
  cpu_before=$(cpu_seconds "$gw_pid")
  loadgen "$gw_port" "$@"
  gw_cpu=$(awk -v a="$cpu_before" -v b="$(cpu_seconds "$gw_pid")" 'BEGIN { printf "%.2f", b - a }')
  gw_hwm_kb=$(status_kb "$gw_pid" VmHWM)
  gw_idle_kb=$idle_kb
  stop_gateway
}

# accepted_rate LINE: accepted submits per second of a result line. Only
# accepted submits count: a throttled one is answered, not relayed.
accepted_rate() {
  awk -v ok="$(field "$1" status_0x00000000)" -v s="$(field "$1" elapsed_s)" \
    'BEGIN { printf "%.1f", (s > 0 ? ok / s : 0) }'
}

# relative_line LABEL FIRST: $result's accepted rate against the first of a
# series ($base_rate, taken on the first call), and gateway CPU per message.
relative_line() {
  local rate
  rate=$(accepted_rate "$result")
  [ -n "$base_rate" ] || base_rate=$rate
  awk -v l="$1" -v f="$2" -v r="$rate" -v b="$base_rate" -v c="$gw_cpu" \
    -v m="$(field "$result" status_0x00000000)" 'BEGIN {
    printf "  %s: %.1f/s (%.3f of %s), %.1f us of gateway CPU per message\n", l, r,
      (b > 0 ? r / b : 0), f, (m > 0 ? c * 1e6 / m : 0) }'
}

# compare LABEL DIRECT GATEWAY: ratio and latency differences.
compare() {
  local direct=$2 via=$3
  echo "  direct:  $direct"
  echo "  gateway: $via"
  local rd rg throttled
  rd=$(field "$direct" rate)
  rg=$(accepted_rate "$via")
  throttled=$(field "$via" status_0x00000058)
  if [ -n "$throttled" ]; then
    echo "  note: $throttled submits throttled by the ESME TPS limit; they are not counted"
  fi
  awk -v d="${rd:-0}" -v g="${rg:-0}" 'BEGIN {
    printf "  throughput ratio (gateway/direct): %s\n", (d > 0 ? sprintf("%.3f", g / d) : "n/a") }'
  local key
  for key in resp_p50_us resp_p99_us resp_max_us; do
    awk -v k="$key" -v d="$(field "$direct" "$key")" -v g="$(field "$via" "$key")" 'BEGIN {
      if (d == "" || g == "") exit
      printf "  %s difference (gateway-direct): %+d us\n", k, g - d }'
  done
}

report_gateway() { # MESSAGES: the submits accepted and relayed
  local messages=$1
  echo "  gateway CPU time during the load: ${gw_cpu} s (user+system)$(awk -v c="$gw_cpu" -v m="$messages" \
    'BEGIN { if (m > 0) printf ", %.1f us per message", c * 1e6 / m }')"
  echo "  gateway memory: idle RSS $(mib "$gw_idle_kb"), peak (VmHWM) $(mib "$gw_hwm_kb")"
  echo "  gateway stopped ${gw_stop_seconds} s after SIGTERM"
}

echo "bench: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg); simulator port $sim_port; gateway upstream binds $upstream_binds; scratch $work"

# ---------------------------------------------------------------------------
if wanted throughput; then
  echo
  echo "== 1a. throughput: $sessions sessions, window $window, ${seconds}s"
  load=(--sessions "$sessions" --window "$window" --duration "$seconds")
  loadgen "$sim_port" "${load[@]}"
  direct=$result
  gateway_load throughput "${load[@]}"
  compare throughput "$direct" "$result"
  report_gateway "$(field "$result" status_0x00000000)"
fi
if wanted latency; then
  echo
  echo "== 1b. latency: 1 session, window 1, ${latency_seconds}s"
  load=(--sessions 1 --window 1 --duration "$latency_seconds")
  loadgen "$sim_port" "${load[@]}"
  direct=$result
  gateway_load latency "${load[@]}"
  compare latency "$direct" "$result"
  report_gateway "$(field "$result" status_0x00000000)"
fi

# ---------------------------------------------------------------------------
if wanted many; then
  echo
  echo "== 2. $many sessions bound at once (held ${many_seconds}s, 1 submit per second in all)"
  start_gateway many
  idle_kb=$(status_kb "$gw_pid" VmRSS)
  cpu_before=$(cpu_seconds "$gw_pid")
  log=$gw_dir/gateway.out
  start_line=$(wc -l <"$log")
  overflows_before=$(listen_overflows)
  "$loadgen_exe" --port "$gw_port" --system-id bench --password pw --sessions "$many" --window 1 \
    --duration "$many_seconds" --rate 1 --bind-timeout 60 >"$work/many.out" 2>"$work/loadgen.err" &
  many_pid=$!
  many_status=0
  bound_rss_kb=""
  idle_from=""
  if wait_for "$log" 'onBindAuthorisation Using shared target set' 120 "$many_pid" "$many"; then
    bound_rss_kb=$(status_kb "$gw_pid" VmRSS)
    idle_from="$(date +%s.%N) $(cpu_seconds "$gw_pid")"
  fi
  wait "$many_pid" || many_status=$?
  idle_to="$(date +%s.%N) $(cpu_seconds "$gw_pid")"
  result=$(grep '^loadgen result' "$work/many.out" || true)
  echo "  gateway: $result"
  if [ "$many_status" -ne 0 ]; then
    echo "bench: quorvex-loadgen exited with status $many_status: $(cat "$work/loadgen.err")" >&2
    failures=$((failures + 1))
  fi
  # Times from the gateway's own log: the first accepted connection, the last
  # one, and the last accepted bind of this scenario.
  tail -n +"$((start_line + 1))" "$log" | awk -v many="$many" '
    / New SMPP connection / { if (first == "") first = $1; last = $1; connections++ }
    /onBindAuthorisation Using shared target set/ { binds++; if (binds == many) bound = $1 }
    END {
      if (first == "" || bound == "") { print "  bind timing: not found in the log"; exit }
      printf "  connections accepted: %d in %.3f s; %d binds accepted, all %d bound %.3f s after the first connection\n",
        connections, last - first, binds, many, bound - first
    }'
  echo "  listen queue overflows (SYN dropped, retried after 1 s): $(($(listen_overflows) - overflows_before))"
  gw_hwm_kb=$(status_kb "$gw_pid" VmHWM)
  echo "  gateway memory: idle RSS $(mib "$idle_kb"), RSS with all bound $( [ -n "$bound_rss_kb" ] && mib "$bound_rss_kb" || echo n/a), peak (VmHWM) $(mib "$gw_hwm_kb")$(awk -v a="$idle_kb" -v b="${bound_rss_kb:-0}" -v n="$many" 'BEGIN { if (b > 0) printf ", %.1f KiB per session", (b - a) / n }')"
  echo "  gateway CPU time: $(awk -v a="$cpu_before" -v b="$(cpu_seconds "$gw_pid")" 'BEGIN { printf "%.2f", b - a }') s"
  if [ -n "$idle_from" ]; then
    echo "$idle_from $idle_to" | awk '{ if ($3 > $1) printf "  gateway CPU with all bound and idle: %.1f %% of a core over %.1f s\n", ($4 - $2) * 100 / ($3 - $1), $3 - $1 }'
  fi
  stop_gateway
  echo "  gateway stopped ${gw_stop_seconds} s after SIGTERM"
fi

# ---------------------------------------------------------------------------
if wanted receipts; then
  echo
  echo "== 3. receipts: $receipt_sessions transceivers, window $window, ${receipt_seconds}s, receipts on"
  load=(--sessions "$receipt_sessions" --window "$window" --duration "$receipt_seconds" --receipts)
  loadgen "$sim_port" "${load[@]}"
  direct=$result
  gateway_load receipts "${load[@]}"
  compare receipts "$direct" "$result"
  for key in receipt_rate rcpt_p50_us rcpt_p99_us; do
    awk -v k="$key" -v d="$(field "$direct" "$key")" -v g="$(field "$result" "$key")" 'BEGIN {
      if (d == "" || g == "") exit
      if (k == "receipt_rate") printf "  receipt rate: direct %.1f/s, gateway %.1f/s, ratio %.3f\n", d, g, (d > 0 ? g / d : 0)
      else printf "  %s: direct %d us, gateway %d us, difference %+d us\n", k, d, g, g - d }'
  done
  report_gateway "$(field "$result" status_0x00000000)"
fi

# ---------------------------------------------------------------------------
if wanted store; then
  echo
  echo "== 4. message-id store: $store_mappings live mappings"
  rm -rf "$work/msgidstore"
  "$store_bench_exe" "$work/msgidstore" "$store_mappings" | tee "$work/store.out" | sed 's/^/  /'
  echo "  on disk: $(du -sh "$work/msgidstore" | cut -f1)"
  rm -rf "$work/msgidstore"
fi

# ---------------------------------------------------------------------------
if wanted routing; then
  echo
  echo "== 5. routing: $sessions sessions, window $window, ${seconds}s; N global rules, the last one matching"
  base_rate=""
  for n in 1 1000 10000 100000; do
    gateway_routes=$work/routes-$n.json
    # Exact destinations that never match, then the load's own destination.
    python3 - "$n" >"$gateway_routes" <<'PY'
import json, sys
n = int(sys.argv[1])
rule = lambda value: {"criteria": {"match": "destination", "type": "exact", "value": value},
                      "targetset": "bench"}
print(json.dumps([rule("3%010d" % i) for i in range(n - 1)] + [rule("4915550002")]))
PY
    gateway_load "routing-$n" --sessions "$sessions" --window "$window" --duration "$seconds"
    relative_line "$(printf '%6d rules' "$n")" "1 rule"
    # The list is compiled once, before the SMPP port opens; this is its cost.
    compiled=$("$route_bench_exe" "$n")
    echo "         compiling them: $(field "$compiled" compile_ms) ms"
  done
  gateway_routes=""
fi

# ---------------------------------------------------------------------------
if wanted binds; then
  echo
  echo "== 6. binds: $sessions sessions, window $window, ${seconds}s; targets of $upstream_binds binds in one set"
  base_rate=""
  # TARGETS:UP - the set's targets, and how many of them are not admin down.
  for shape in 1:1 100:100 100:1; do
    gateway_targets=${shape%:*}
    gateway_targets_up=${shape#*:}
    gateway_load "binds-${shape/:/-}" --sessions "$sessions" --window "$window" --duration "$seconds"
    relative_line "$(printf '%3d x %d binds, %3d targets up' "$gateway_targets" \
      "$upstream_binds" "$gateway_targets_up")" "1 target"
  done
  gateway_targets=1
  gateway_targets_up=""
fi

# tls_pair LABEL PLAIN TLS: a load in clear and over TLS, side by side.
tls_pair() {
  echo "  plain: $2"
  echo "  TLS:   $3"
  awk -v l="$1" -v p="$(accepted_rate "$2")" -v t="$(accepted_rate "$3")" \
    -v pc="$plain_cpu" -v tc="$gw_cpu" -v pm="$(field "$2" status_0x00000000)" \
    -v tm="$(field "$3" status_0x00000000)" -v p50="$(field "$2" resp_p50_us)" \
    -v t50="$(field "$3" resp_p50_us)" -v p99="$(field "$2" resp_p99_us)" \
    -v t99="$(field "$3" resp_p99_us)" 'BEGIN {
    printf "  %s: TLS/plain throughput %.3f (%.1f/s vs %.1f/s); gateway CPU per message %.1f us vs %.1f us; p50 %+d us, p99 %+d us\n",
      l, (p > 0 ? t / p : 0), t, p, (tm > 0 ? tc * 1e6 / tm : 0), (pm > 0 ? pc * 1e6 / pm : 0), t50 - p50, t99 - p99 }'
}

# ---------------------------------------------------------------------------
if wanted tls; then
  echo
  echo "== 7. TLS on both sides (ESME to gateway, gateway to SMSC) next to plain"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$work/tls.key" -out "$work/tls.pem" 2>/dev/null
  "$sim_exe" --port 0 --receipts text --receipt-delay-ms "$receipt_delay" --tls \
    --cert "$work/tls.pem" --key "$work/tls.key" >"$work/tls-sim.out" 2>&1 &
  tls_sim_pid=$!
  wait_for "$work/tls-sim.out" '^smsc-sim listening port=' 10 "$tls_sim_pid"
  tls_sim_port=$(sed -n 's/^smsc-sim listening port=\([0-9]*\).*/\1/p' "$work/tls-sim.out" | head -n 1)
  for shape in throughput latency; do
    if [ "$shape" = throughput ]; then
      load=(--sessions "$sessions" --window "$window" --duration "$seconds")
    else
      load=(--sessions 1 --window 1 --duration "$latency_seconds")
    fi
    loadgen "$tls_sim_port" --tls "${load[@]}"
    echo "  direct over TLS ($shape): $result"
    gateway_load "plain-$shape" "${load[@]}"
    plain=$result
    plain_cpu=$gw_cpu
    gateway_tls=1 gateway_sim_port=$tls_sim_port gateway_sim_out=$work/tls-sim.out
    gateway_load "tls-$shape" --tls "${load[@]}"
    gateway_tls=0 gateway_sim_port=$sim_port gateway_sim_out=$work/sim.out
    tls_pair "$shape" "$plain" "$result"
  done
  kill -TERM "$tls_sim_pid" 2>/dev/null || true
  wait "$tls_sim_pid" 2>/dev/null || true
  tls_sim_pid=""
fi

if wanted soak; then
  echo
  load=(--sessions "$receipt_sessions" --window "$window" --receipts)
  soak_rate=${BENCH_SOAK_RATE:-}
  if [ -z "$soak_rate" ]; then
    gateway_load soak-maximum "${load[@]}" --duration "$seconds"
    # At least 1/s: the load generator reads a rate of 0 as "no limit".
    soak_rate=$(awk -v r="$(accepted_rate "$result")" 'BEGIN { r /= 2; printf "%d", (r < 1 ? 1 : r) }')
    if [ "$failures" -ne 0 ]; then
      echo "bench: the maximum-rate run failed; no soak" >&2
      exit 1
    fi
    echo "== 8. soak: maximum with receipts $((soak_rate * 2))/s; half of it for ${soak_seconds}s"
  else
    echo "== 8. soak: ${soak_rate}/s for ${soak_seconds}s"
  fi
  start_gateway soak
  "$loadgen_exe" --port "$gw_port" --system-id bench --password pw "${load[@]}" \
    --duration "$soak_seconds" --rate "$soak_rate" >"$work/soak.out" 2>"$work/loadgen.err" &
  soak_pid=$!
  : >"$work/soak.samples"
  # RSS, descriptors and store size every sample period while the load runs.
  echo "  seconds  rss_kib  descriptors  store_kib"
  began=$SECONDS
  while kill -0 "$soak_pid" 2>/dev/null; do
    sleep "$soak_sample"
    kill -0 "$soak_pid" 2>/dev/null || break
    printf "  %7d  %7s  %11s  %9s\n" $((SECONDS - began)) "$(status_kb "$gw_pid" VmRSS)" \
      "$(find "/proc/$gw_pid/fd" -mindepth 1 -maxdepth 1 | wc -l)" \
      "$(du -sk "$gw_dir/msgidstore" 2>/dev/null | cut -f1)" | tee -a "$work/soak.samples"
  done
  soak_status=0
  wait "$soak_pid" || soak_status=$?
  soak_pid=""
  if [ "$soak_status" -ne 0 ]; then
    echo "bench: quorvex-loadgen exited with status $soak_status: $(cat "$work/loadgen.err")" >&2
    failures=$((failures + 1))
  fi
  echo "  gateway: $(grep '^loadgen result' "$work/soak.out" || true)"
  # Flat means the second half of the run holds no more than the first
  # half's peak: growth that never stops shows up as a later, higher peak.
  awk '{ n++; r[n] = $2; d[n] = $3; s[n] = $4 }
    END {
      if (n < 4) { print "  too few samples to judge"; exit }
      h = int(n / 2)
      split("rss descriptors store", names, " ")
      for (k = 1; k <= 3; k++) {
        first = 0; second = 0
        for (i = 1; i <= n; i++) {
          v = (k == 1 ? r[i] : (k == 2 ? d[i] : s[i]))
          if (i <= h && v > first) first = v
          if (i > h && v > second) second = v
        }
        printf "  %s: peak of the first half %d, of the second half %d (%+.1f %%)\n",
          names[k], first, second, (first > 0 ? (second - first) * 100 / first : 0)
      }
    }' "$work/soak.samples"
  stop_gateway
fi

if [ "$profile" = 1 ]; then
  echo
  if [ "$profiler" = auto ]; then
    profiler=callgrind
    # perf needs working hardware counters (not the case in many VMs).
    if command -v perf >/dev/null && perf_check=$(perf stat -e instructions true 2>&1) &&
      ! grep -q 'not supported' <<<"$perf_check"; then
      profiler=perf
    fi
  fi
  echo "== profile ($profiler): throughput load, $sessions sessions, window $window, ${profile_seconds}s"
  load=(--sessions "$sessions" --window "$window" --duration "$profile_seconds" --drain 30)
  [ "${BENCH_PROFILE_RECEIPTS:-0}" = 1 ] && load+=(--receipts)
  case "$profiler" in
    callgrind)
      command -v valgrind >/dev/null || { echo "bench: valgrind missing (apt-get install valgrind)" >&2; exit 1; }
      start_gateway profile valgrind --tool=callgrind --callgrind-out-file=callgrind.out
      # Only the load is profiled: the counts are zeroed before it and
      # dumped after it (start-up and shutdown land in other parts).
      callgrind_control --zero "$gw_pid" >/dev/null 2>&1
      loadgen "$gw_port" "${load[@]}"
      echo "  gateway (under callgrind): $result"
      callgrind_control --dump=load "$gw_pid" >/dev/null 2>&1
      stop_gateway
      echo "  gateway stopped ${gw_stop_seconds} s after SIGTERM (under callgrind)"
      part=$(grep -l '^desc: Trigger: .*load' "$gw_dir"/callgrind.out* | head -n 1)
      # Frames open at the zeroing (thread roots, main) show their whole
      # subtree as self cost; they are left out of the self-cost list.
      { echo "-- self cost"; callgrind_annotate --inclusive=no --threshold=100 "$part" 2>/dev/null |
          sed -n '/^Ir/,$p' | grep -v -E ':clone |start_thread|libc_start|below main|[?]:main |runApplication|_State_impl|[?]:0x0' |
          sed -n '1,40p'
        echo "-- inclusive cost"; callgrind_annotate --inclusive=yes "$part" 2>/dev/null | sed -n '/^Ir/,$p' | sed -n '1,60p'
      } | cut -c1-240 >"$work/profile.txt"
      echo "  full profile: $part (callgrind_annotate; the other parts hold start-up and shutdown)"
      ;;
    perf)
      start_gateway profile
      perf record ${BENCH_PERF_ARGS:--g} -o "$gw_dir/perf.data" -p "$gw_pid" >/dev/null 2>&1 &
      perf_pid=$!
      sleep 0.5
      loadgen "$gw_port" "${load[@]}"
      echo "  gateway: $result"
      kill -INT "$perf_pid" 2>/dev/null || true
      wait "$perf_pid" || true
      stop_gateway
      perf report -i "$gw_dir/perf.data" --stdio --no-children --percent-limit 1 2>/dev/null |
        grep -v '^$' | sed -n '1,80p' >"$work/profile.txt"
      ;;
    *)
      echo "bench: BENCH_PROFILER must be auto, perf or callgrind" >&2
      exit 2
      ;;
  esac
  cat "$work/profile.txt"
fi

echo
if [ "$failures" -ne 0 ]; then
  echo "bench: $failures step(s) failed"
  exit 1
fi
echo "bench: done"
