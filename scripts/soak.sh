#!/usr/bin/env bash
# Long runs (not part of the test command): does memory stay flat and the tick
# rate steady over time?
#
#   scripts/soak.sh [--minutes M] [--frames N] [--size WxH] [--program-only | --cli-only]
#
# 1. The program on the virtual ruins camera at 640 x 480 ("Format...") under a
#    virtual X server, following the ruins from automatic initial points and
#    switching every 20 s through the processors (Ctrl+1..3), fresh initial
#    points, and the ruins panel's detector (FAST / KLT) and Kalman filter, with
#    keyboard and mouse as a user would (xdotool): two warm-up passes through
#    the switches, then M minutes (default 10). Resident memory is sampled every
#    10 s; the tick rate is the program's own status-bar figure, logged by a
#    small preload library that watches the label's text.
# 2. castellan-cli reconstruct over N frames (default 10,000) of the virtual
#    ruins at WxH (default 640x480) with the Kalman filter, sampling its memory.
#
# Memory counts as flat when it grows by at most 2 MB from the end of the
# warm-up (the program: two passes through every switch; the CLI: its first 20 s)
# to the end. Exit status 1 when it does not, or when a run fails.
# Binaries come from $SOAK_BUILD_DIR (default build/release, built if needed);
# logs go to $SOAK_OUT (default build/soak).
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

minutes=10
frames=10000
size=640x480
run_program=1
run_cli=1
while [ $# -gt 0 ]; do
  case $1 in
    --minutes) minutes=$2; shift 2 ;;
    --frames) frames=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --program-only) run_cli=0; shift ;;
    --cli-only) run_program=0; shift ;;
    *) echo "usage: $0 [--minutes M] [--frames N] [--size WxH] [--program-only | --cli-only]" >&2; exit 2 ;;
  esac
done

build=${SOAK_BUILD_DIR:-$root/build/release}
out=${SOAK_OUT:-$root/build/soak}
mkdir -p "$out"
if [ ! -x "$build/app/castellan" ] || [ ! -x "$build/tools/castellan-cli" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
  cmake --build "$build" -j"$(nproc)" --target castellan castellan-cli
fi
program=$build/app/castellan
cli=$build/tools/castellan-cli

switch_seconds=20
cli_warmup_seconds=20
limit_kb=2048
failed=0

rss_kb() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status" 2>/dev/null || true; }

# Samples the resident memory of PID every PERIOD seconds into LOG ("seconds kB")
# until it exits.
sample_memory() {
  local pid=$1 period=$2 log=$3 start=$SECONDS kb
  : > "$log"
  while kb=$(rss_kb "$pid") && [ -n "$kb" ]; do
    echo "$((SECONDS - start)) $kb" >> "$log"
    sleep "$period"
  done
}

# "start_kb end_kb growth_kb" from a memory log ("seconds kB" lines): the
# median of the first minute after the warm-up and of the last minute, so a
# single sample caught while the allocator trims or grows does not decide.
memory_figures() {
  awk -v warm="$1" '{ t[NR] = $1; kb[NR] = $2 }
    function median(from, to,    n, i, j, v, tmp) {
      n = 0
      for (i = 1; i <= NR; ++i) if (t[i] >= from && t[i] < to) v[++n] = kb[i]
      if (n == 0) return kb[NR]
      for (i = 2; i <= n; ++i) for (j = i; j > 1 && v[j - 1] > v[j]; --j) { tmp = v[j]; v[j] = v[j - 1]; v[j - 1] = tmp }
      return v[int((n + 1) / 2)]
    }
    END { last = t[NR]; s = median(warm, warm + 60); e = median(last - 60, last + 1)
          printf "%d %d %d\n", s, e, e - s }' "$2"
}

report_memory() {  # report_memory NAME WARMUP_SECONDS LOG
  local name=$1 warmup=$2 log=$3 figures start_kb end_kb growth
  figures=$(memory_figures "$warmup" "$log")
  read -r start_kb end_kb growth <<< "$figures"
  printf '%s: resident memory %d kB after warm-up, %d kB at the end (%+d kB; medians of a minute)\n' \
    "$name" "$start_kb" "$end_kb" "$growth"
  if [ "$growth" -gt "$limit_kb" ]; then
    echo "$name: memory grew by more than $limit_kb kB" >&2
    failed=1
  fi
}

# ---- Driving the window as a user would (positions in the tool bar and panel,
# from the window's top-left corner, for the program's own layout) ------------
toolbar_click() {  # toolbar_click WINDOW X_OFFSET
  local X Y WIDTH HEIGHT SCREEN
  eval "$(xdotool getwindowgeometry --shell "$1")"
  xdotool mousemove "$((X + $2))" "$((Y + 18))" click 1 2>/dev/null || true
}

# "Device Options..." -> "Format..." -> 640 x 480 (the first size starting with 6).
switch_to_large_frames() {
  toolbar_click "$1" 134
  sleep 1
  xdotool key Down Return 2>/dev/null || true
  sleep 2
  xdotool key 6 Return 2>/dev/null || true
  sleep 2
  local X Y WIDTH HEIGHT SCREEN
  eval "$(xdotool getwindowgeometry --shell "$1")"
  # The window has grown to the right; bring it back so the panel, which opens
  # beside it, stays on the screen.
  xdotool windowmove "$1" 0 0 2>/dev/null || true; sleep 1
  echo "program window ${WIDTH} x ${HEIGHT} after choosing 640 x 480" >> "$out/program_switches.log"
}

# The initial points button -> "Automatic Initial Points"; a moment of matching,
# then the same button again starts following.
automatic_initial_points() {
  xdotool windowfocus --sync "$1" key ctrl+3 2>/dev/null || true
  toolbar_click "$1" 616
  sleep 1
  xdotool key Down Down Return 2>/dev/null || true
  sleep 3
  toolbar_click "$1" 616
}

# Opens the ruins panel (Ctrl+3, Ctrl+P) and clicks FAST, KLT or the Kalman box.
click_in_panel() {
  local pid=$1 window=$2 what=$3 panel offset
  xdotool windowfocus --sync "$window" key ctrl+3 ctrl+p 2>/dev/null || true
  sleep 1
  panel=$(xdotool search --all --onlyvisible --pid "$pid" --name '^Reconstruction Properties$' 2>/dev/null | head -n 1 || true)
  [ -n "$panel" ] || return 0
  case $what in
    fast) offset=47 ;;
    klt) offset=73 ;;
    kalman) offset=140 ;;
  esac
  local X Y WIDTH HEIGHT SCREEN
  eval "$(xdotool getwindowgeometry --shell "$panel")"
  xdotool mousemove "$((X + 27))" "$((Y + offset))" click 1 2>/dev/null || true
}

# ---- 1. The program ------------------------------------------------------------
program_soak() {
  if [ -z "${DISPLAY:-}" ]; then
    echo "program soak needs a display: run under xvfb-run (done automatically below)" >&2
    return 1
  fi
  # Logs the status bar's "Frame Rate: ... Hz" each time the program sets it.
  cat > "$out/rate_shim.cpp" <<'EOF'
#include <QLabel>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
void QLabel::setText(const QString& text) {
    using Real = void (*)(QLabel*, const QString&);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "_ZN6QLabel7setTextERK7QString"));
    static FILE* log = std::getenv("CASTELLAN_RATE_LOG") ? std::fopen(std::getenv("CASTELLAN_RATE_LOG"), "w") : nullptr;
    if (log && text.contains(QStringLiteral("Frame Rate:"))) {
        std::fprintf(log, "%s\n", qPrintable(text.simplified()));
        std::fflush(log);
    }
    real(this, text);
}
EOF
  g++ -std=c++17 -O2 -shared -fPIC "$out/rate_shim.cpp" -o "$out/rate_shim.so" \
      $(pkg-config --cflags Qt6Widgets) -ldl

  # The rotation: processors, fresh initial points, the ruins panel's detectors
  # and its Kalman filter. Its first two passes are the warm-up: every path has
  # run and made what it keeps, and the allocator has settled (resident memory
  # climbs by some 5 MB over them and stays flat after); the measured M minutes follow.
  local steps=(ctrl+1 ctrl+2 ctrl+3 auto panel:fast panel:kalman ctrl+1 ctrl+3 panel:klt panel:kalman)
  local warmup=$((2 * ${#steps[@]} * switch_seconds))
  local seconds=$((warmup + minutes * 60))
  echo "== program: ${warmup} s warm-up, then $minutes min on the virtual ruins camera, switching every ${switch_seconds} s"
  # An unwritten calibration frame would only change what is drawn; render it so
  # the reconstructor runs as it does for a user.
  (cd "$out" && "$cli" calibration-frame CalibrationFrame.png > /dev/null)
  (cd "$out" && CASTELLAN_RATE_LOG="$out/program_rate.log" LD_PRELOAD="$out/rate_shim.so" \
     exec "$program" --virtual-camera --connect --device ruins --processor 2 > "$out/program.log" 2>&1) &
  local pid=$!
  sample_memory "$pid" 10 "$out/program_memory.log" &
  local sampler=$!

  local window=""
  for _ in $(seq 1 30); do
    window=$(xdotool search --all --onlyvisible --pid "$pid" --name '^Castellan$' 2>/dev/null | head -n 1 || true)
    [ -n "$window" ] && break
    sleep 1
  done
  if [ -n "$window" ]; then
    switch_to_large_frames "$window"
    automatic_initial_points "$window"
  else
    echo "program window not found; running without switching" >&2
  fi

  local step=0 elapsed=0 action
  while [ "$elapsed" -lt "$seconds" ] && kill -0 "$pid" 2>/dev/null; do
    sleep "$switch_seconds"
    elapsed=$((elapsed + switch_seconds))
    [ -n "$window" ] || continue
    action=${steps[$((step % ${#steps[@]}))]}
    step=$((step + 1))
    case $action in
      auto) automatic_initial_points "$window" ;;
      panel:*) click_in_panel "$pid" "$window" "${action#panel:}" ;;
      *) xdotool windowfocus --sync "$window" key "$action" 2>/dev/null || true ;;
    esac
    echo "$elapsed s: $action" >> "$out/program_switches.log"
    # SOAK_SCREENSHOTS=1 keeps a picture of the screen after every step.
    if [ "${SOAK_SCREENSHOTS:-0}" = 1 ]; then sleep 2; import -window root "$out/step-$step.png" 2>/dev/null || true; fi
  done
  local alive=1
  kill -0 "$pid" 2>/dev/null || alive=0
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  wait "$sampler" 2>/dev/null || true
  if [ "$alive" -eq 0 ]; then
    echo "program: ended before the soak did (see $out/program.log)" >&2
    failed=1
  fi
  report_memory program "$warmup" "$out/program_memory.log"
  awk '{ for (i = 1; i <= NF; ++i) if ($i == "Hz") { r = $(i - 1); n++; s += r;
           if (n == 1 || r < lo) lo = r; if (n == 1 || r > hi) hi = r } }
       END { if (n) printf "program: tick rate %.2f Hz mean, %.2f min, %.2f max over %d readings\n", s / n, lo, hi, n;
             else print "program: no tick rate logged" }' "$out/program_rate.log"
}

# ---- 2. castellan-cli reconstruct -----------------------------------------------
cli_soak() {
  echo "== castellan-cli reconstruct: $frames frames at $size"
  local began=$SECONDS
  "$cli" reconstruct --source virtual --frames "$frames" --size "$size" --kalman \
    > "$out/cli.csv" 2> "$out/cli.log" &
  local pid=$!
  sample_memory "$pid" 2 "$out/cli_memory.log" &
  local sampler=$!
  local status=0
  wait "$pid" || status=$?
  wait "$sampler" 2>/dev/null || true
  local took=$((SECONDS - began))
  if [ "$status" -ne 0 ]; then
    echo "castellan-cli reconstruct failed with status $status (see $out/cli.log)" >&2
    failed=1
  fi
  report_memory castellan-cli "$cli_warmup_seconds" "$out/cli_memory.log"
  grep '^#' "$out/cli.csv" | tail -n 1 || true
  awk -v n="$frames" -v t="$took" 'BEGIN { if (t > 0) printf "castellan-cli: %.1f frames per second over %d s\n", n / t, t }'
}

if [ "$run_program" -eq 1 ]; then
  if [ -z "${DISPLAY:-}" ]; then
    SOAK_OUT=$out SOAK_BUILD_DIR=$build xvfb-run -a -s "-screen 0 1920x1080x24" \
      "$0" --minutes "$minutes" --program-only || failed=1
  else
    program_soak || failed=1
  fi
fi
[ "$run_cli" -eq 1 ] && cli_soak
exit "$failed"
