#!/usr/bin/env bash
# The live agent against ffmpeg's x11grab on the same screen: a private
# 1920x1080 X server with a 30 fps test pattern playing full screen, streamed
# for SECONDS by kivo-agent (through the stand-in service) and then by
# `ffmpeg -f x11grab` with libx264 and the agent's settings (preset, rate
# factor, VBV, QP ceiling, key-frame interval, no B-frames, full-range BT.709
# colour); and once more by ffmpeg with the agent's 3x3 text sharpening
# applied before conversion (ffmpeg's convolution filter on planar RGB), the
# like-for-like run, since sharpened pictures also cost the encoder more.
# Prints, for each, frames delivered, CPU seconds per frame (user + system,
# the whole process, start-up included) and peak resident memory, then the
# ratios.
#
#   bench/live_capture_vs_ffmpeg.sh [build folder]      (default build-release)
# Environment: SECONDS_PER_RUN (default 10), KBPS (default 8000).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
case $build in /*) ;; *) build=$root/$build ;; esac
seconds=${SECONDS_PER_RUN:-10}
kbps=${KBPS:-8000}
fps=30
agent=$build/bin/kivo-agent
standin=$build/bin/kivo-service-standin
for tool in Xvfb ffmpeg ffprobe ffplay /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
[ -x "$agent" ] && [ -x "$standin" ] ||
  { echo "build kivo-agent and kivo-service-standin in $build first" >&2; exit 1; }
header=$root/platform/x264/include/kivo/x264/x264_encoder.hpp
preset=$(sed -n 's/.*kPreset = "\([a-z]*\)";.*/\1/p' "$header")
crf=$(sed -n 's/.*kQualityCrf = \([0-9.]*\);.*/\1/p' "$header")

work=$(mktemp -d)
pids=()
cleanup() {
  # Newest first: the player goes before its X server. Killed outright, since
  # a player whose server went away first can hang rather than exit.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -KILL "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset \
  +extension MIT-SHM +extension DAMAGE +extension RANDR +extension XTEST \
  3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
display=:$(tr -dc 0-9 <"$work/display")
SDL_AUDIODRIVER=dummy DISPLAY=$display ffplay -loglevel quiet -noborder -left 0 -top 0 \
  -f lavfi -i "testsrc2=size=1920x1080:rate=$fps" >/dev/null 2>&1 &
pids+=($!)
sleep 2

frames_in() {
  ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
    -of default=nw=1:nk=1 "$1"
}
# name frames "user system max_rss_kib"
report() {
  read -r user system rss <<<"$3"
  awk -v name="$1" -v frames="$2" -v user="$user" -v sys_s="$system" -v rss="$rss" 'BEGIN {
    printf "%-34s %6d frames  %7.3f ms CPU/frame  %7.1f MiB peak RSS\n",
      name, frames, (user + sys_s) * 1000 / frames, rss / 1024 }'
}

# The agent, driven by the stand-in: capture, stream, stop, quit.
cat >"$work/script.jsonl" <<SCRIPT
{"type":"start_capture","config":{"width":1920,"height":1080,"fps":$fps,"bitrate_kbps":$kbps}}
{"await":"status","timeout_ms":15000}
{"wait_ms":$((seconds * 1000))}
{"type":"stop_capture"}
{"await":"replies","timeout_ms":5000}
{"type":"quit"}
SCRIPT
mkdir -p "$work/system" "$work/home"
"$standin" --root "$work/system" --until-quit --seconds $((seconds + 30)) \
  --video-out "$work/agent.h264" "$work/script.jsonl" >"$work/standin.jsonl" &
standin_pid=$!
pids+=($standin_pid)
for _ in $(seq 1 500); do
  [ -S "$work/system/run/kivo/com.kivo.service.agent" ] && break
  sleep 0.01
done
DISPLAY=$display KIVO_SYSTEM_ROOT=$work/system HOME=$work/home KIVO_LOG=kivo=info NO_COLOR=1 \
  /usr/bin/time -f "%U %S %M" -o "$work/agent.time" "$agent" 2>"$work/agent.stderr" ||
  { echo "the agent failed:" >&2; cat "$work/agent.stderr" >&2; exit 1; }
wait "$standin_pid" || { echo "the stand-in reports a fault" >&2; exit 1; }

# ffmpeg with the agent's encoder settings; $1 names the run, $2 is the
# filter graph before the encoder.
ffmpeg_run() {
  /usr/bin/time -f "%U %S %M" -o "$work/$1.time" \
    ffmpeg -hide_banner -nostdin -loglevel error -f x11grab -draw_mouse 0 -framerate "$fps" \
    -video_size 1920x1080 -i "$display" -t "$seconds" -vf "$2" \
    -c:v libx264 -preset "$preset" -tune zerolatency -profile:v high -crf "$crf" \
    -maxrate "$((kbps * 2))k" -bufsize "$((kbps * 2))k" -qmax 20 \
    -g "$((fps * 15))" -sc_threshold 0 -bf 0 \
    -color_range pc -colorspace bt709 -color_primaries bt709 -color_trc iec61966-2-1 \
    -f h264 -y "$work/$1.h264"
}
kernel="0 -1 0 -1 7 -1 0 -1 0"
ffmpeg_run ffmpeg "format=yuv420p"
ffmpeg_run ffmpeg-sharpen "format=gbrp,convolution=0m='$kernel':1m='$kernel':2m='$kernel':\
0rdiv=1/3:1rdiv=1/3:2rdiv=1/3,format=yuv420p"

echo "1920x1080 at $fps fps, $seconds s, preset $preset, CRF $crf, VBV $((kbps * 2)) kbit/s"
agent_frames=$(frames_in "$work/agent.h264")
report "kivo-agent (capture + encode)" "$agent_frames" "$(cat "$work/agent.time")"
read -r au as ar <"$work/agent.time"
for run in ffmpeg ffmpeg-sharpen; do
  frames=$(frames_in "$work/$run.h264")
  case $run in
    ffmpeg) name="ffmpeg -f x11grab -c:v libx264" ;;
    *) name="  the same, sharpened like the agent" ;;
  esac
  report "$name" "$frames" "$(cat "$work/$run.time")"
  read -r fu fs fr <"$work/$run.time"
  awk -v af="$agent_frames" -v ff="$frames" -v ac="$(awk "BEGIN{print $au+$as}")" \
    -v fc="$(awk "BEGIN{print $fu+$fs}")" -v ar="$ar" -v fr="$fr" -v run="$run" 'BEGIN {
    printf "  agent / %s: CPU per frame %.2f, peak RSS %.2f\n", run, (ac / af) / (fc / ff), ar / fr }'
done
