#!/usr/bin/env bash
# Sessions between two namespaces on one veth pair, in one run: iperf3's UDP
# receive rate, our media-stream rate through the whole library (session,
# routing, transport, engine), and our reliable-stream file rate beside
# srt-file-transmit moving the same file. Figures only; run as root.
#
#   bash scripts/bench-sessions.sh [FILE_MIB] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

file_mib=${1:-64}
seconds=${2:-5}
[ "$(id -u)" -eq 0 ] || { echo "bench-sessions: needs root (network namespaces)"; exit 0; }

build=${VELTRANA_BENCH_BUILD:-build/bench-tools}
bash scripts/install-deps.sh >/dev/null
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTRANA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target veltrana-testnode >/dev/null
node=$(realpath "$build/tools/veltrana-testnode")

tag=vtsb$$
a=${tag}a
b=${tag}b
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip netns del "$a" 2>/dev/null || true
  ip netns del "$b" 2>/dev/null || true
  [ -n "${VELTRANA_BENCH_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT INT TERM

ip netns add "$a"
ip netns add "$b"
ip link add "${tag}x" netns "$a" type veth peer name "${tag}y" netns "$b"
ip -n "$a" addr add 198.51.100.1/24 dev "${tag}x"
ip -n "$b" addr add 198.51.100.2/24 dev "${tag}y"
for ns in "$a" "$b"; do ip -n "$ns" link set lo up; done
ip -n "$a" link set "${tag}x" up
ip -n "$b" link set "${tag}y" up
sleep 1

# ---- iperf3, UDP, 1440-byte datagrams, unlimited rate ----
ip netns exec "$b" iperf3 -s -1 -p 5299 >/dev/null 2>&1 &
pids+=($!)
sleep 0.5
iperf_mbit=$(ip netns exec "$a" iperf3 -c 198.51.100.2 -p 5299 -u -l 1440 -b 0 -t "$seconds" -J 2>/dev/null |
  python3 -c 'import json,sys; d=json.load(sys.stdin); print("%.1f" % (d["end"]["sum"]["bits_per_second"]*(1-d["end"]["sum"]["lost_percent"]/100)/1e6))')

# ---- our library: two test nodes in sessions mode ----
start_node() {  # namespace, name -> fifo for commands, file of events
  mkfifo "$work/$2.in"
  ip netns exec "$1" "$node" --sessions --node "$2" <"$work/$2.in" >"$work/$2.out" 2>/dev/null &
  pids+=($!)
  exec {fd}>"$work/$2.in"
  eval "fd_$2=$fd"
}
send() { local fd_var="fd_$1"; echo "$2" >&"${!fd_var}"; }
wait_line() {  # node, pattern, seconds
  local end=$((SECONDS + $3))
  until grep -q "$2" "$work/$1.out"; do
    [ $SECONDS -lt $end ] || { echo "bench-sessions: no '$2' from $1" >&2; return 1; }
    sleep 0.2
  done
}
field() { sed -n "s/.*\"$2\":\"\{0,1\}\([^\",}]*\).*/\1/p" <<<"$1"; }
stats() {  # node, stream -> last stats line
  local before
  before=$(grep -c "\"event\":\"stats\",\"stream\":\"$2\"" "$work/$1.out" || true)
  send "$1" "stats $2"
  until [ "$(grep -c "\"event\":\"stats\",\"stream\":\"$2\"" "$work/$1.out" || true)" -gt "$before" ]; do sleep 0.1; done
  grep "\"event\":\"stats\",\"stream\":\"$2\"" "$work/$1.out" | tail -1
}
settle() {  # node, stream: waits until the byte count stops moving
  local last=-1 now
  while :; do
    now=$(field "$(stats "$1" "$2")" bytes)
    [ "$now" != "$last" ] || break
    last=$now
    sleep 2
  done
}

start_node "$a" sender
start_node "$b" receiver
wait_line sender '"state":"up"' 30
wait_line receiver '"state":"up"' 30
send sender "open media t.media 1000"
send sender "open reliable t.file"
wait_line receiver '"stream":"t.media","kind":2' 10
wait_line receiver '"stream":"t.file","kind":3' 10
sleep 0.5

send sender "blast t.media $seconds 1000000"
wait_line sender blast_sent $((seconds + 30))
settle receiver t.media
media=$(stats receiver t.media)
media_mbit=$(python3 -c "print('%.1f' % ($(field "$media" bytes) * 8 / 1000 / max(1, $(field "$media" ms))))")

head -c "$((file_mib << 20))" /dev/urandom >"$work/file.bin"
send sender "file t.file $work/file.bin"
wait_line sender file_sent 600
settle receiver t.file
file=$(stats receiver t.file)
file_ok=$([ "$(field "$file" sha)" = "$(field "$(grep file_sent "$work/sender.out")" sha)" ] && echo exact || echo DIFFERENT)
file_mbyte=$(python3 -c "print('%.1f' % ($(field "$file" bytes) / 1000 / max(1, $(field "$file" ms))))")
send sender quit
send receiver quit

# ---- srt-file-transmit, the same file, the same veth ----
srt_mbyte=skipped
if command -v srt-file-transmit >/dev/null; then
  mkdir -p "$work/srt"
  ip netns exec "$b" timeout 600 srt-file-transmit -q 'srt://:9000?mode=listener' "file://$work/srt/" >/dev/null 2>&1 &
  listener=$!
  sleep 0.5
  t0=$(date +%s.%N)
  ip netns exec "$a" timeout 600 srt-file-transmit -q "file://$work/file.bin" 'srt://198.51.100.2:9000?mode=caller' \
    >/dev/null 2>&1 || true
  wait "$listener" || true
  t1=$(date +%s.%N)
  if cmp -s "$work/file.bin" "$work/srt/file.bin"; then
    srt_mbyte=$(python3 -c "print('%.1f' % ($((file_mib << 20)) / 1e6 / ($t1 - $t0)))")
  else
    srt_mbyte=failed
  fi
fi

ratio() { python3 -c "import sys; a,b=sys.argv[1:]; print('%.2f' % (float(a)/float(b)) if b.replace('.','',1).isdigit() and float(b) > 0 else '-')" "$1" "$2"; }
echo "== sessions on one veth pair ($seconds s, file $file_mib MiB)"
printf '%-40s %12s\n' "iperf3 -u -l 1440 received, Mbit/s" "$iperf_mbit"
printf '%-40s %12s   ratio to iperf3 %s\n' "media stream received, Mbit/s" "$media_mbit" "$(ratio "$media_mbit" "$iperf_mbit")"
printf '%-40s %12s   (%s)\n' "reliable stream file, MB/s" "$file_mbyte" "$file_ok"
printf '%-40s %12s   ratio ours/srt %s\n' "srt-file-transmit file, MB/s" "$srt_mbyte" "$(ratio "$file_mbyte" "$srt_mbyte")"
