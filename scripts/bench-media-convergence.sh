#!/usr/bin/env bash
# How fast the media-rate controller finds a 20 Mbit/s bottleneck, and how
# much gets through once it has. Two network namespaces of this run, joined
# by a veth pair whose ends are shaped by tbf; a synthetic 30 fps encoder in
# one follows the stream's quality events and sends to a receiver in the
# other. Prints the bitrate trace (asked by the controller, delivered to the
# receiver), the time to settle below the bottleneck and the share of
# frames delivered after it.
#
# A benchmark, not a test: convergence time is noisy on a shared machine,
# and nothing here fails on a number. Needs root.
#
#   scripts/bench-media-convergence.sh [SECONDS]     (default 30)
# VELTRANA_BENCH_BUILD names another build directory (default build/bench);
# VELTRANA_MEDIA_MAX_BPS the stream's maximum bitrate (default 64 Mbit/s,
# so that the encoder starts at 32.5 Mbit/s, well above the link).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
build=${VELTRANA_BENCH_BUILD:-build/bench}
rate=20mbit
rate_bps=20000000
max_bps=${VELTRANA_MEDIA_MAX_BPS:-64000000}
program=$build/bench/flowmesh_media_convergence

if [ "$(id -u)" != 0 ]; then
  echo "skipped: needs root for network namespaces"
  exit 0
fi
if [ ! -x "$program" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTRANA_BUILD_TESTS=OFF -DVELTRANA_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" --target flowmesh_media_convergence
fi

# Names carry this shell's PID, so that parallel runs and other suites'
# namespaces are never touched; interface names stay within 15 characters.
tag=vtconv$$
sender_ns=${tag}s
receiver_ns=${tag}r
logs=$(mktemp -d)
receiver_pid=
cleanup() {
  if [ -n "$receiver_pid" ] && kill -0 "$receiver_pid" 2>/dev/null; then
    kill "$receiver_pid" 2>/dev/null || true
    wait "$receiver_pid" 2>/dev/null || true
  fi
  ip netns del "$sender_ns" 2>/dev/null || true
  ip netns del "$receiver_ns" 2>/dev/null || true
  rm -rf "$logs"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ip netns add "$sender_ns"
ip netns add "$receiver_ns"
ip link add "${tag}a" netns "$sender_ns" type veth peer name "${tag}b" netns "$receiver_ns"
ip -n "$sender_ns" addr add 198.51.100.2/24 dev "${tag}a"
ip -n "$receiver_ns" addr add 198.51.100.1/24 dev "${tag}b"
ip -n "$sender_ns" link set "${tag}a" up
ip -n "$receiver_ns" link set "${tag}b" up
# Both directions shaped; a queue of 50 ms behind a 32 KB bucket, about
# what a home router gives a stream before it drops.
shape=(tbf rate "$rate" burst 32kb latency 50ms)
ip netns exec "$sender_ns" tc qdisc add dev "${tag}a" root "${shape[@]}"
ip netns exec "$receiver_ns" tc qdisc add dev "${tag}b" root "${shape[@]}"
for _ in $(seq 50); do
  ip -n "$receiver_ns" link show "${tag}b" | grep -q LOWER_UP && break
  sleep 0.1
done

echo "== media-rate convergence: $rate tbf link, ${seconds} s of a 30 fps encoder"
ip netns exec "$receiver_ns" "$program" receive 198.51.100.1:47200 198.51.100.2:47200 $((seconds + 4)) "$max_bps" \
  >"$logs/receiver" &
receiver_pid=$!
sleep 0.5
ip netns exec "$sender_ns" "$program" send 198.51.100.2:47200 198.51.100.1:47200 "$seconds" "$max_bps" >"$logs/sender"
wait "$receiver_pid"
receiver_pid=
ip netns exec "$sender_ns" tc -s qdisc show dev "${tag}a" | sed -n 's/^ *Sent/tbf, sender side: Sent/p'
"$program" report "$logs/sender" "$logs/receiver" "$rate_bps"
