#!/bin/sh
# Compares the agent's X11 capture (one MIT-SHM GetImage of 1920x1080 into a
# pooled buffer, bench_x11_capture) with ffmpeg's x11grab on the same Xvfb,
# and prints both as milliseconds per frame.
#
#   bench/x11_capture_vs_ffmpeg.sh [build folder]    (default build-release)
#   FRAMES=300 bench/x11_capture_vs_ffmpeg.sh build-screen-release
#
# ffmpeg is timed with its own -benchmark clock, twice: for WARMUP frames and
# for WARMUP + FRAMES frames; the difference divided by FRAMES leaves out its
# start-up. Its frame rate is set far above what it can reach so that pacing
# never waits, frames are passed through (not duplicated to fill that rate),
# the cursor is not drawn, and the frames go to the null muxer.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-release}
case $build in /*) ;; *) build=$root/$build ;; esac
frames=${FRAMES:-300}
warmup=${WARMUP:-30}
bench=$build/bin/bench_x11_capture

[ -x "$bench" ] || { echo "no $bench: build the bench_x11_capture target" >&2; exit 1; }
command -v Xvfb >/dev/null || { echo "Xvfb is not installed" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "ffmpeg is not installed" >&2; exit 1; }

work=$(mktemp -d)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The server writes its display number once it accepts connections.
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset +extension MIT-SHM \
  3>"$work/display" >"$work/xvfb.log" 2>&1 &
server=$!
tries=0
until [ -s "$work/display" ]; do
  tries=$((tries + 1))
  [ $tries -le 100 ] || { echo "Xvfb did not start:" >&2; cat "$work/xvfb.log" >&2; exit 1; }
  sleep 0.1
done
display=:$(tr -d '\n' <"$work/display")
echo "Xvfb 1920x1080x24 on $display"

KIVO_BENCH_DISPLAY=$display "$bench" --benchmark_format=csv --benchmark_min_time=2 \
  >"$work/bench.csv" 2>"$work/bench.log" || { cat "$work/bench.log" >&2; exit 1; }
ours=$(awk -F, '/^"BM_X11ShmCapture1080p/ { print $3; exit }' "$work/bench.csv")
iterations=$(awk -F, '/^"BM_X11ShmCapture1080p/ { print $2; exit }' "$work/bench.csv")

ffmpeg_seconds() {
  ffmpeg -hide_banner -nostdin -benchmark -f x11grab -draw_mouse 0 -framerate 100000 \
    -video_size 1920x1080 -i "$display" -fps_mode passthrough -frames:v "$1" -f null - 2>&1 |
    sed -n 's/.*rtime=\([0-9.]*\)s.*/\1/p' | tail -n 1
}
short=$(ffmpeg_seconds "$warmup")
long=$(ffmpeg_seconds $((warmup + frames)))
[ -n "$short" ] && [ -n "$long" ] || { echo "ffmpeg gave no timing" >&2; exit 1; }
theirs=$(awk -v a="$long" -v b="$short" -v n="$frames" 'BEGIN { printf "%.3f", (a - b) * 1000 / n }')
theirs_whole=$(awk -v a="$long" -v n="$((warmup + frames))" 'BEGIN { printf "%.3f", a * 1000 / n }')

printf '%-44s %8.3f ms/frame  (%s frames)\n' "kivo X11 SHM GetImage, pooled buffer" "$ours" "$iterations"
printf '%-44s %8s ms/frame  (%s frames, start-up excluded)\n' "ffmpeg -f x11grab -f null" "$theirs" "$frames"
printf '%-44s %8s ms/frame  (%s frames, start-up included)\n' "" "$theirs_whole" "$((warmup + frames))"
