#!/bin/sh
# Glass-to-glass latency of the loop tool beside a plain gst-launch chain, in
# one run: a private Xvfb with two screens, the bar-code painter on screen 0,
# the prober on screen 1. Usage: ravk_glass_to_glass.sh BUILD_DIR [SECONDS]
set -eu
build=${1:?build directory}
seconds=${2:-20}
display=:$((90 + $$ % 50))
Xvfb "$display" -screen 0 1280x720x24 -screen 1 1280x720x24 +extension RANDR -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
sleep 1
"$build/bench/ravk_glass_probe" paint "$display.0" &
painter=$!
loop=
plain=
trap 'kill $loop $plain $painter $xvfb 2>/dev/null' EXIT INT TERM HUP PIPE
sleep 1

"$build/tools/veltrana-loop" --from "$display.0" --to "$display.1" --width 1280 --height 720 --fps 30 \
    --bitrate 4000000 --seconds $((seconds + 4)) >/dev/null &
loop=$!
sleep 3
printf 'veltrana-loop: '
"$build/bench/ravk_glass_probe" probe "$display.1" "$seconds" || true
wait $loop
loop=

gst-launch-1.0 -q ximagesrc display-name="$display.0" use-damage=false ! video/x-raw,framerate=30/1 ! \
    videoconvert ! vp8enc deadline=1 ! vp8dec ! videoconvert ! ximagesink display="$display.1" sync=false &
plain=$!
sleep 3
printf 'gst-launch chain: '
"$build/bench/ravk_glass_probe" probe "$display.1" "$seconds" || true
kill $plain
plain=
