#!/usr/bin/env bash
# Encodes a fixed corpus of screen-like frames (scrolling text, a dragged
# window, a noisy video-like patch; see video_encode_bench.cpp) through the
# agent's encoding stage and through the ffmpeg command line with libx264 and
# the same settings, on the same raw frames, for a grid of x264 presets and
# rate factors. Prints frames per second (wall and CPU), bytes and PSNR
# against the raw frames (ffmpeg's psnr filter).
#
#   bench/video_encode_vs_ffmpeg.sh [build folder]     (default build-release)
# Environment: WIDTH HEIGHT FRAMES FPS KBPS PRESETS CRFS.
#
# The stage's rows are without sharpening, which changes the picture on
# purpose and so costs PSNR against the unsharpened frames; one more row per
# preset shows the stage as it runs, sharpening included, at the chosen CRF.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
bench=$build/bin/bench_video_encode
[ -x "$bench" ] || bench=$build/bench/bench_video_encode
if [ ! -x "$bench" ]; then
  echo "build bench_video_encode first (cmake --build $build --target bench_video_encode)" >&2
  exit 1
fi
command -v ffmpeg > /dev/null || { echo "ffmpeg is not installed" >&2; exit 1; }

width=${WIDTH:-1920}
height=${HEIGHT:-1080}
frames=${FRAMES:-150}
fps=${FPS:-30}
kbps=${KBPS:-8000}
presets=${PRESETS:-"ultrafast superfast veryfast faster"}
crfs=${CRFS:-"16 18 20 22"}
chosen_crf=$(sed -n 's/.*kQualityCrf = \([0-9.]*\);.*/\1/p' \
  "$root/platform/x264/include/kivo/x264/x264_encoder.hpp")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
size=--width\ $width\ --height\ $height\ --frames\ $frames\ --fps\ $fps

"$bench" corpus --out "$work/raw.nv12" $size

# PSNR of an H.264 file against the raw frames, frame by frame, both kept at
# full range.
psnr() {
  local graph='[0:v]scale=in_range=full:out_range=full,format=yuv420p,settb=1/30,setpts=N[a];'
  graph+='[1:v]scale=in_range=full:out_range=full,format=yuv420p,settb=1/30,setpts=N[b];'
  graph+='[a][b]psnr=shortest=1'
  ffmpeg -hide_banner -nostats -f h264 -i "$1" \
    -f rawvideo -pix_fmt nv12 -s "${width}x${height}" -framerate "$fps" -i "$work/raw.nv12" \
    -lavfi "$graph" -f null - 2>&1 | sed -n 's/.*PSNR .*average:\([0-9.inf]*\).*/\1/p'
}

row() {  # encoder preset crf fps cpu_fps bytes psnr
  printf '%-18s %-10s %5s %8s %8s %10s %7s\n' "$@"
}

ffmpeg_encode() {  # preset crf output -> "wall_seconds cpu_seconds"
  ffmpeg -hide_banner -nostats -benchmark -y \
    -f rawvideo -pix_fmt nv12 -s "${width}x${height}" -framerate "$fps" -i "$work/raw.nv12" \
    -c:v libx264 -preset "$1" -tune zerolatency -profile:v high -crf "$2" \
    -maxrate "$((kbps * 2))k" -bufsize "$((kbps * 2))k" -qmax 20 \
    -g "$((fps * 15))" -sc_threshold 0 -bf 0 \
    -color_range pc -colorspace bt709 -color_primaries bt709 -color_trc iec61966-2-1 \
    -f h264 "$3" 2>&1 |
    sed -n 's/.*utime=\([0-9.]*\)s stime=\([0-9.]*\)s rtime=\([0-9.]*\)s.*/\3 \1 \2/p' |
    awk '{print $1, $2 + $3}'
}

echo "corpus: ${width}x${height}, $frames frames at $fps fps, $kbps kbps (VBV $((kbps * 2)) kbit/s)"
row encoder preset crf fps cpu_fps bytes psnr_dB
for preset in $presets; do
  for crf in $crfs; do
    out=$("$bench" encode --out "$work/stage.h264" $size --kbps "$kbps" --preset "$preset" \
      --crf "$crf" --no-sharpen)
    wall=$(sed -n 's/.*seconds=\([0-9.]*\) cpu.*/\1/p' <<< "$out")
    cpu=$(sed -n 's/.*cpu_seconds=\([0-9.]*\).*/\1/p' <<< "$out")
    bytes=$(sed -n 's/.*bytes=\([0-9]*\).*/\1/p' <<< "$out")
    row stage "$preset" "$crf" "$(awk "BEGIN{printf \"%.1f\", $frames/$wall}")" \
      "$(awk "BEGIN{printf \"%.1f\", $frames/$cpu}")" "$bytes" "$(psnr "$work/stage.h264")"

    read -r wall cpu < <(ffmpeg_encode "$preset" "$crf" "$work/ffmpeg.h264")
    row ffmpeg-libx264 "$preset" "$crf" "$(awk "BEGIN{printf \"%.1f\", $frames/$wall}")" \
      "$(awk "BEGIN{printf \"%.1f\", $frames/$cpu}")" "$(stat -c %s "$work/ffmpeg.h264")" \
      "$(psnr "$work/ffmpeg.h264")"
  done
  out=$("$bench" encode --out "$work/stage.h264" $size --kbps "$kbps" --preset "$preset" \
    --crf "$chosen_crf")
  wall=$(sed -n 's/.*seconds=\([0-9.]*\) cpu.*/\1/p' <<< "$out")
  cpu=$(sed -n 's/.*cpu_seconds=\([0-9.]*\).*/\1/p' <<< "$out")
  bytes=$(sed -n 's/.*bytes=\([0-9]*\).*/\1/p' <<< "$out")
  row stage+sharpen "$preset" "$chosen_crf" "$(awk "BEGIN{printf \"%.1f\", $frames/$wall}")" \
    "$(awk "BEGIN{printf \"%.1f\", $frames/$cpu}")" "$bytes" "$(psnr "$work/stage.h264")"
done
