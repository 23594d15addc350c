# Sourced by scripts/bench.sh: clockdrift.exe and silence_stream.exe under Wine, side by side
# against one private PulseAudio null sink, each measured whole. The Wine server is started first
# and kept up, so that neither program is charged for it.
wine_rows() {
  cmake --preset mingw >/dev/null
  cmake --build --preset mingw -j 2 >/dev/null
  local work pulse i
  work=$(mktemp -d "${TMPDIR:-/tmp}/clockdrift-bench.XXXXXXXX")
  mkdir -p "$work/home"
  mkdir -m 700 "$work/run"
  (
    export HOME=$work/home XDG_RUNTIME_DIR=$work/run
    export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export PULSE_SERVER=unix:$work/pulse.sock
    unset DISPLAY
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disable-shm=yes \
      -L "module-null-sink sink_name=bench rate=48000 channels=2 format=s16le" \
      -L "module-native-protocol-unix socket=$work/pulse.sock auth-anonymous=1" \
      >"$work/pulse.log" 2>&1 </dev/null &
    pulse=$!
    for ((i = 0; i < 100; i++)); do timeout 5 pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    timeout 300 wine wineboot -i >/dev/null 2>&1
    wineserver -w
    wineserver -p
    "$measure" 1 timeout 130 wine build/mingw/clockdrift.exe >"$work/program" 2>/dev/null &
    "$measure" 1 timeout 130 wine build/mingw/silence_stream.exe >"$work/silence" 2>/dev/null &
    wait %2 %3 || true
    wineserver -k
    kill "$pulse"
    wait "$pulse" 2>/dev/null || true
  )
  local program silence
  program=$(cat "$work/program")
  silence=$(cat "$work/silence")
  rm -rf -- "$work"
  add "Wine: clockdrift.exe CPU (status $(field status "$program"))" "$(ms "$(field cpu_s "$program")")" ""
  add "Wine: silence_stream.exe CPU (status $(field status "$silence"))" "$(ms "$(field cpu_s "$silence")")" ""
  add "Wine: CPU ratio clockdrift / silence_stream" \
    "$(awk -v a="$(field cpu_s "$program")" -v b="$(field cpu_s "$silence")" 'BEGIN { printf "%.3f", a / b }')" "<= 1.1"
  add "Wine: voluntary context switches, clockdrift / silence" \
    "$(field voluntary_switches "$program") / $(field voluntary_switches "$silence")" ""
  add "Wine: peak memory, clockdrift / silence" \
    "$(field peak_kib "$program") / $(field peak_kib "$silence") KiB" ""
}
