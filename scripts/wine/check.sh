#!/usr/bin/env bash
# Runs the Windows build of clockdrift under Wine, against private PulseAudio daemons that each
# have a null sink at 48 000 Hz, s16le, 2 channels: real audio timing, no sound card needed.
#
# Builds clockdrift.exe with the "mingw" preset and the native recording_check tool with the "dev"
# preset, then checks
#   - a full 100 s run: exit status, the exact output, every row's device position and the final
#     clock differences;
#   - what reached the sink, recorded from its monitor: the tone, frame by frame;
#   - the failure paths: no audio server at all, and the server killed (SIGKILL) or frozen
#     (SIGSTOP) 20 s into a run, where the program must end on its own and in time.
# The 100 s runs go side by side, each with its own PulseAudio daemon, in one shared Wine prefix.
#
# Prints PASS or FAIL for every check and, as its last line, "N passed, N failed". Exits 0 when
# all checks pass, 1 when one fails, 2 when the checks could not be run (a missing command, a
# failed build, a daemon that would not start). Works as root; needs no display.
#
# Usage: scripts/wine/check.sh
set -euo pipefail

repo=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/../.." && pwd)

die() {
    echo "check.sh: $*" >&2
    exit 2
}

needs=(
    "cmake:cmake" "c++:g++" "x86_64-w64-mingw32-g++:g++-mingw-w64-x86-64"
    "x86_64-w64-mingw32-windres:binutils-mingw-w64-x86-64" "wine:wine" "wineserver:wine"
    "pulseaudio:pulseaudio" "pactl:pulseaudio-utils" "parec:pulseaudio-utils"
    "timeout:coreutils" "mktemp:coreutils"
)
for need in "${needs[@]}"; do
    command -v "${need%%:*}" >/dev/null 2>&1 ||
        die "'${need%%:*}' not found; install the Debian package ${need#*:}"
done
[[ -x /usr/lib/wine/wine64 || -n "$(command -v wine64 || true)" ]] ||
    die "the 64-bit Wine loader is missing; install the Debian package wine64"

# Everything this script makes, but the two builds, lives here and goes at the end.
work=$(mktemp -d "${TMPDIR:-/tmp}/clockdrift-wine.XXXXXXXX")
daemons=()  # PulseAudio daemons and the recorder, disowned: their ends are no news
runs=()     # the background runs of clockdrift.exe
# end_process SIGNAL PID: signals a process of ours and gives it 5 s to go.
end_process() {
    local i
    kill -"$1" "$2" 2>/dev/null || return 0
    for ((i = 0; i < 50; i++)); do
        kill -0 "$2" 2>/dev/null || return 0
        sleep 0.1
    done
}
cleanup() {
    local status=$?
    set +e
    # SIGKILL also ends a daemon that is stopped.
    for pid in "${daemons[@]}"; do end_process KILL "$pid"; done
    if [[ -d $work/prefix ]]; then
        WINEPREFIX=$work/prefix timeout 30 wineserver -k >/dev/null 2>&1
        WINEPREFIX=$work/prefix timeout 30 wineserver -w >/dev/null 2>&1
    fi
    for pid in "${runs[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf -- "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== building clockdrift.exe (preset mingw) and recording_check (preset dev)"
build() {
    local log=$1
    shift
    "$@" >>"$log" 2>&1 || {
        tail -n 40 "$log" >&2
        die "build step failed: $*"
    }
}
(
    cd "$repo"
    build "$work/build.log" cmake --preset mingw
    build "$work/build.log" cmake --build --preset mingw --parallel 2
    # The tool only, in the scratch folder: the tests' configuration and the developers' build/dev
    # stay out of this.
    build "$work/build.log" cmake --preset dev -B "$work/native" -DBUILD_TESTING=OFF
    build "$work/build.log" cmake --build "$work/native" --target recording_check --parallel 2
)
# A copy, so that a rebuild while the checks run cannot pull the file from under Wine.
exe=$work/clockdrift.exe
cp "$repo/build/mingw/clockdrift.exe" "$exe"
recording_check=$work/native/tools/recording_check

# A private home, runtime folder and prefix: Wine refuses a prefix that another user owns, and
# nothing here may touch the caller's. WINEDEBUG=-all also quiets Debian's wrapper about the
# missing 32-bit Wine; Mono and Gecko are not needed and not installed into the prefix.
mkdir -p "$work/home"
mkdir -m 700 "$work/run"
export HOME=$work/home XDG_RUNTIME_DIR=$work/run
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY PULSE_SERVER PULSE_SINK PULSE_SOURCE

echo "== creating the Wine prefix"
timeout 300 wine wineboot -i >"$work/wineboot.log" 2>&1 || {
    cat "$work/wineboot.log" >&2
    die "creating the Wine prefix failed"
}

# The null sink renders ahead of time and, when a stream joins, normally takes back and renders
# again what it had rendered ahead. Its monitor cannot take back what the recorder has already
# read: the recording would lose its leading silence and the first part of the tone. norewinds=1
# makes the monitor a faithful record in time.
sink=clockdrift
declare -A pulse_pid
# start_pulse NAME: a PulseAudio daemon with the null sink and the socket $work/NAME.sock.
start_pulse() {
    local name=$1 dir=$work/pulse-$1 pid i
    mkdir -p "$dir/home"
    mkdir -m 700 "$dir/run"
    HOME=$dir/home XDG_RUNTIME_DIR=$dir/run pulseaudio -n --daemonize=no --exit-idle-time=-1 \
        --use-pid-file=no --disable-shm=yes --log-target=stderr \
        -L "module-null-sink sink_name=$sink rate=48000 channels=2 format=s16le norewinds=1" \
        -L "module-native-protocol-unix socket=$work/$name.sock auth-anonymous=1" \
        >"$dir/pulseaudio.log" 2>&1 </dev/null &
    pid=$!
    disown "$pid"
    daemons+=("$pid")
    pulse_pid[$name]=$pid
    for ((i = 0; i < 100; i++)); do
        PULSE_SERVER=unix:$work/$name.sock timeout 5 pactl info >/dev/null 2>&1 && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    cat "$dir/pulseaudio.log" >&2
    die "PulseAudio '$name' did not come up"
}

# run_clockdrift NAME SERVER LIMIT: clockdrift.exe in the background against PulseAudio at SERVER,
# ended by timeout after LIMIT seconds. Leaves $work/NAME.out (standard output), NAME.err (standard
# error, every line behind the $EPOCHREALTIME it arrived at) and, once the program has ended,
# NAME.status ("status start end"). Wine hands the program's exit status through unchanged.
#
# The status is written as soon as Wine returns, not when standard error is closed: a wineserver or
# Wine service started by this run inherits the pipe and may keep it open long after.
#
# By default Wine keeps only about 20 ms of sound queued in PulseAudio, and its audio threads go
# through the wineserver, which stops for some 20 ms every 30 s to write out the registry when it
# has changed (every Wine start changes it). A stop of 15 ms can already run the stream dry; Wine
# then pads the gap with silence, and about one run in four had such a gap. PULSE_LATENCY_MSEC=80
# makes the stream queue about 60 ms, which rides out stops of 30 ms. It moves the rows' device
# position by 10 ms (4.020 s instead of 4.010 s for the first) and leaves the differences as they
# were (-35 to -39 ms).
run_clockdrift() {
    local name=$1 server=$2 limit=$3
    (
        set +e
        {
            start=$EPOCHREALTIME
            PULSE_SERVER=$server PULSE_LATENCY_MSEC=80 timeout -k 5 "$limit" wine "$exe" \
                2>&1 >"$work/$name.out" </dev/null
            echo "$? $start $EPOCHREALTIME" >"$work/$name.status"
        } | stamp_lines >"$work/$name.err"
    ) &
    runs+=("$!")
}
# wait_runs NAME...: until these runs have ended.
wait_runs() {
    local name
    for name; do
        until [[ -s $work/$name.status ]]; do sleep 0.1; done
    done
}
stamp_lines() {
    local line
    while IFS= read -r line || [[ -n $line ]]; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done
}

# Milliseconds between two $EPOCHREALTIME readings.
ms_between() { echo $(((${2/./} - ${1/./}) / 1000)); }
seconds() { printf '%d.%03d s' $(($1 / 1000)) $(($1 % 1000)); }

# Standard output with the line ends the C runtime writes in text mode (CRLF) made plain.
plain_out() { sed 's/\r$//' "$work/$1.out"; }
# The program's own lines on standard error, each behind the time it came. Wine and ALSA write
# there too (ALSA's "cannot find card" and the like, Wine's own complaints); those are theirs, not
# the program's, and are left out: the program's lines all start with "error - failed on ".
stamped_errors() { sed 's/\r$//' "$work/$1.err" | grep -E '^[0-9.]+ error - failed on ' || true; }
program_errors() { stamped_errors "$1" | sed -E 's/^[0-9.]+ //'; }

passed=0
failed=0
# check NAME COMMAND...: runs COMMAND, which prints what it found, and counts a PASS or a FAIL.
check() {
    local name=$1 found status=0
    shift
    found=$("$@" 2>&1) || status=$?
    if ((status == 0)); then
        passed=$((passed + 1))
        echo "PASS  $name${found:+: $found}"
    else
        failed=$((failed + 1))
        echo "FAIL  $name${found:+: $found}"
    fi
}

banner1="soundcard / pc clock difference megerment"
banner2="playing 1kHz tone ... wait 100 seconds"
header=$'\tDevice\tTick\tTime\tPeformanceCounter'
# "\t%d.%03d" four times: device position, tick count, multimedia time, performance counter.
field=$'\t([0-9]+)\\.([0-9]{3})'
row_re="^$field$field$field$field\$"
final_re=$'^\tTick=(-?[0-9]+), Time=(-?[0-9]+), PerformanceCounter=(-?[0-9]+)$'

# The complete report: banner, header, 20 rows, "Diff:", the differences, and nothing else.
report_complete() {
    local -a lines
    local i
    mapfile -t lines < <(plain_out "$1")
    ((${#lines[@]} == 25)) || { echo "${#lines[@]} lines, not 25"; return 1; }
    [[ ${lines[0]} == "$banner1" ]] || { echo "line 1 is ${lines[0]@Q}"; return 1; }
    [[ ${lines[1]} == "$banner2" ]] || { echo "line 2 is ${lines[1]@Q}"; return 1; }
    [[ ${lines[2]} == "$header" ]] || { echo "line 3 is ${lines[2]@Q}"; return 1; }
    for ((i = 3; i < 23; i++)); do
        [[ ${lines[i]} =~ $row_re ]] || { echo "line $((i + 1)) is ${lines[i]@Q}"; return 1; }
    done
    [[ ${lines[23]} == "Diff:" ]] || { echo "line 24 is ${lines[23]@Q}"; return 1; }
    [[ ${lines[24]} =~ $final_re ]] || { echo "line 25 is ${lines[24]@Q}"; return 1; }
    [[ -z $(tail -c 1 "$work/$1.out") ]] || { echo "the last line has no line end"; return 1; }
    if grep -q $'\r$' "$work/$1.out"; then
        echo "25 lines as expected (ending in CRLF)"
    else
        echo "25 lines as expected"
    fi
}

# Row n was printed after 5n s of sound had been queued; the device had played 5n - 1 s of it
# then (one second of buffer ahead), give or take the output's latency.
rows_on_time() {
    local -a lines
    local n ms want off worst=0
    mapfile -t lines < <(plain_out "$1")
    for ((n = 1; n <= 20; n++)); do
        [[ ${lines[n + 2]} =~ $row_re ]] || { echo "row $n is ${lines[n + 2]@Q}"; return 1; }
        ms=$((10#${BASH_REMATCH[1]} * 1000 + 10#${BASH_REMATCH[2]}))
        want=$((5000 * n - 1000))
        off=$((ms > want ? ms - want : want - ms))
        if ((off > worst)); then worst=$off; fi
        ((ms >= want - 250 && ms <= want + 250)) || {
            echo "row $n: device at $(seconds "$ms"), expected $(seconds "$want") +- 0.250 s"
            return 1
        }
    done
    echo "all 20 rows within 0.250 s of 5n - 1 s (worst off by $(seconds "$worst"))"
}

diffs_small() {
    local last v
    last=$(plain_out "$1" | tail -n 1)
    [[ $last =~ $final_re ]] || { echo "last line is ${last@Q}"; return 1; }
    for v in "${BASH_REMATCH[@]:1}"; do
        ((v >= -100 && v <= 100)) || { echo "${last#$'\t'}: beyond +-100 ms"; return 1; }
    done
    echo "${last#$'\t'}"
}

no_program_errors() {
    local errors
    errors=$(program_errors "$1")
    [[ -z $errors ]] || { echo "$errors"; return 1; }
    echo "none"
}

exit_status_is() {
    local status
    read -r status _ <"$work/$1.status"
    [[ $status == "$2" ]] || { echo "status $status"; return 1; }
    echo "status $status"
}

# The verdict of recording_check, whose full report is in $work/recording.txt.
recording_ok() {
    local status=0
    "$recording_check" "$@" >"$work/recording.txt" 2>&1 || status=$?
    grep -E '^(tone|tone short by|peak|mismatches|left != right):' "$work/recording.txt" |
        sed -E 's/ +/ /g' | paste -sd ';' | sed 's/;/; /g'
    grep '^problem:' "$work/recording.txt" || true
    return "$status"
}

# No server: the two banner lines, one error line for init, status 1, within LIMIT ms.
init_fails() {
    local name=$1 limit=$2 status start end ms errors
    read -r status start end <"$work/$name.status"
    ms=$(ms_between "$start" "$end")
    errors=$(program_errors "$name")
    [[ $status == 1 ]] || { echo "status $status after $(seconds "$ms")"; return 1; }
    [[ $(plain_out "$name") == "$banner1"$'\n'"$banner2" ]] ||
        { echo "stdout: $(plain_out "$name")"; return 1; }
    [[ $errors == "error - failed on PCM_PLAY::init()" ]] ||
        { echo "errors: ${errors:-none}"; return 1; }
    ((ms <= limit)) || { echo "took $(seconds "$ms")"; return 1; }
    echo "status 1, '$errors', after $(seconds "$ms")"
}

# A run that lost its server: it either completes (full report, status 0, no error line) or gives
# up with exactly one error line and status 1, and ends on its own within LIMIT ms of its start
# (the timeout of the run ends it at that point, with status 124: a hang).
ends_cleanly() {
    local name=$1 limit=$2 status start end ms errors count at
    read -r status start end <"$work/$name.status"
    ms=$(ms_between "$start" "$end")
    errors=$(program_errors "$name")
    count=$(grep -c . <<<"$errors" || true)
    case $status in
    0)
        report_complete "$name" >/dev/null ||
            { echo "status 0 without the complete report"; return 1; }
        ((count == 0)) || { echo "status 0 but: $errors"; return 1; }
        ;;
    1)
        ((count == 1)) || { echo "status 1 with $count error lines: ${errors:-none}"; return 1; }
        plain_out "$name" | grep -qx 'Diff:' && { echo "status 1 after the report"; return 1; }
        ;;
    124 | 137) echo "hung: ended by timeout after $(seconds "$ms")"; return 1 ;;
    *) echo "status $status after $(seconds "$ms")"; return 1 ;;
    esac
    ((ms <= limit)) || { echo "took $(seconds "$ms")"; return 1; }
    if [[ -n $errors ]]; then
        read -r at _ < <(stamped_errors "$name")
        errors=", \"$errors\" at $(seconds "$(ms_between "$start" "$at")")"
    fi
    echo "status $status$errors, ended after $(seconds "$ms")"
}

show() {
    echo "-- $1: standard output"
    plain_out "$1" | sed 's/^/   | /'
    echo "-- $1: the program's lines on standard error ($(grep -cvE '^[0-9.]+ error - failed on ' \
        "$work/$1.err" || true) more lines there from Wine and ALSA)"
    program_errors "$1" | sed 's/^/   | /'
}

echo "== no audio server"
# Nothing listens at this socket. The fallback drivers are off, so that a sound card on the host
# cannot stand in for the missing server.
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winealsa.drv,wineoss.drv=d" \
    run_clockdrift none "unix:$work/none.sock" 60
wait_runs none
check "no audio server: init fails at once" init_fails none 10000
show none

echo "== 100 s runs side by side: undisturbed (recorded), server killed at 20 s, server frozen at 20 s"
for name in real killed frozen; do start_pulse "$name"; done
PULSE_SERVER=unix:$work/real.sock parec --device="$sink.monitor" --format=s16le --rate=48000 \
    --channels=2 --raw --latency-msec=20 >"$work/real.raw" 2>"$work/parec.log" </dev/null &
recorder=$!
disown "$recorder"
daemons+=("$recorder")
# The recording must be under way before the first sound.
for ((i = 0; i < 100; i++)); do
    [[ -n $(PULSE_SERVER=unix:$work/real.sock pactl list short source-outputs 2>/dev/null) ]] &&
        break
    sleep 0.1
done
((i < 100)) || die "the recorder did not connect"

run_clockdrift real "unix:$work/real.sock" 130
run_clockdrift killed "unix:$work/killed.sock" 115
run_clockdrift frozen "unix:$work/frozen.sock" 115
started=$EPOCHREALTIME
sleep 20
kill -KILL "${pulse_pid[killed]}"
kill -STOP "${pulse_pid[frozen]}"
signalled=$EPOCHREALTIME
echo "the server of 'killed' got SIGKILL, that of 'frozen' SIGSTOP," \
    "$(seconds "$(ms_between "$started" "$signalled")") after the runs started"
wait_runs real killed frozen
sleep 1  # the recorder's tail of silence
end_process TERM "$recorder"

read -r _ real_start real_end <"$work/real.status"
echo "-- real: ran $(seconds "$(ms_between "$real_start" "$real_end")")"
show real
check "real run: exit status 0" exit_status_is real 0
check "real run: output format" report_complete real
check "real run: device position of every row" rows_on_time real
check "real run: final differences within 100 ms" diffs_small real
check "real run: no error line" no_program_errors real

# The drain ends when DirectSound's play cursor is in the silence after the tone, but Wine's cursor
# runs ahead of what has reached the server, and releasing the device right after drops what is
# still queued: the last 40 to 65 ms of the tone never arrive. Up to 100 ms may be missing at the
# ends together; nothing in between may be, nor anything be added.
check "recording: 100 s of the tone, unbroken, left = right" recording_ok "$work/real.raw" 100 100
echo "-- recording of the sink's monitor"
sed 's/^/   | /' "$work/recording.txt"

for name in killed frozen; do show "$name"; done
check "server killed at 20 s: the program ends cleanly in time" ends_cleanly killed 115000
check "server frozen at 20 s: the program ends cleanly in time" ends_cleanly frozen 115000

echo "$passed passed, $failed failed"
((failed == 0)) || exit 1
