#!/usr/bin/env bash
# Smoke test of the vemra tool as a user runs it: every command once, against the
# simulated headband, in a scratch folder. Checks exit codes and a few facts of the output.
set -euo pipefail
VEMRA=$1
MOCK_BLUEZ=${2:-}
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
export HOME="$work/home" XDG_DATA_HOME="$work/home/.local/share" XDG_DOCUMENTS_DIR="$work/home/Documents"
mkdir -p "$HOME"
fail() { echo "FAIL: $*" >&2; exit 1; }
# expect PATTERN COMMAND...: the command succeeds and its output holds PATTERN.
expect() {
  local pattern=$1 out
  shift
  out=$("$@" 2>&1) || fail "$* exited with $?"
  grep -q -- "$pattern" <<<"$out" || fail "$*: output lacks '$pattern'"
}

expect "^vemra " "$VEMRA" --version
expect "storage root:" "$VEMRA" doctor

# A fresh install in Germany, with English messages, analyses with a 50 Hz filter and stores 50.
de="$work/de"
mkdir -p "$de"
out=$(env -u LC_ALL HOME="$de" XDG_DATA_HOME="$de/share" XDG_DOCUMENTS_DIR="$de/Documents" LANG=de_DE.UTF-8 \
  LC_MESSAGES=en_US.UTF-8 "$VEMRA" analyze --simulate --seconds 2 --out "$work/de.csv" 2>&1) || fail "analyze in Germany"
grep -q "mains filter: 50 Hz" <<<"$out" || fail "analyze in Germany: $out"
grep -q "<integer>50</integer>" "$de/share/Private Documents/Vemra/vpk_store/core/params" || fail "50 Hz not stored"
expect "country: *DE (from LANG)" env -u LC_ALL LANG=de_DE.UTF-8 LC_MESSAGES=en_US.UTF-8 "$VEMRA" doctor

# Library log lines: none by default, on standard error with -v (warnings) and -vv (all).
out=$("$VEMRA" doctor 2>&1)
if grep -q "API: " <<<"$out"; then fail "doctor shows library log lines without -v"; fi
err=$(env -u LC_ALL LANG=de_DE.UTF-8 "$VEMRA" doctor -v 2>&1 >/dev/null)
grep -q "^VemraPlatformKit(.*API: Country = DE" <<<"$err" || fail "-v: $err"
err=$("$VEMRA" -vv doctor 2>&1 >/dev/null)
grep -q "^VPK(.*API: Synchronized params:\|^VPK(.*API: Country" <<<"$err" || fail "-vv: $err"
expect "Vemra" "$VEMRA" scan --seconds 1 --virtual
expect "DR0404" "$VEMRA" probe --virtual --signal-seconds 1
expect "Firmware 4.2.1281, released 2014-09-17, meets" "$VEMRA" probe --virtual --signal-seconds 0.5
expect "peripheral_info_store" "$VEMRA" probe --virtual --signal-seconds 0.5
expect "packets decoded" "$VEMRA" stream --simulate --seconds 1

# Offline analysis is deterministic: two runs, identical files, one row per cycle.
"$VEMRA" analyze --simulate --seconds 6 --out "$work/a.csv" >/dev/null
"$VEMRA" analyze --simulate --seconds 6 --out "$work/b.csv" >/dev/null
cmp -s "$work/a.csv" "$work/b.csv" || fail "analyze is not deterministic"
head -1 "$work/a.csv" | grep -qx "cycle,time,left_focus,left_alt_focus,left_idle,left_fft_status,right_focus,right_alt_focus,right_idle,right_fft_status,left_flatline,right_flatline" || fail "analyze header"
[ "$(wc -l < "$work/a.csv")" -ge 50 ] || fail "analyze rows"
"$VEMRA" analyze --simulate --scenario focused --seconds 3 --out "$work/f.csv" >/dev/null
tail -1 "$work/f.csv" | grep -q "^[0-9]*,[0-9.]*,[0-9]" || fail "analyze scenario: no focus score"
if "$VEMRA" analyze --simulate --scenario nonsense --seconds 1 >/dev/null 2>&1; then fail "unknown scenario accepted"; fi
# --mains sets the analysis for one run only: the user's parameters file is not rewritten.
params="$XDG_DATA_HOME/Private Documents/Vemra/vpk_store/core/params"
[ -f "$params" ] || fail "no parameters file"
other=50; grep -q '<integer>50</integer>' "$params" && other=60
touch -d '2020-01-01 00:00' "$params"
before=$(stat -c '%y' "$params")$(md5sum < "$params")
expect "mains filter: $other Hz" "$VEMRA" analyze --simulate --mains $other --seconds 1
[ "$(stat -c '%y' "$params")$(md5sum < "$params")" = "$before" ] || fail "analyze --mains rewrote the parameters"

# Record, inspect, export, and analyse the recording.
"$VEMRA" record --simulate --seconds 3 -o "$work/r.vpk" >/dev/null
expect "250" "$VEMRA" info "$work/r.vpk"
"$VEMRA" export "$work/r.vpk" --format csv -o "$work/r.csv" >/dev/null
[ "$(wc -l < "$work/r.csv")" -eq 751 ] || fail "export csv rows: $(wc -l < "$work/r.csv")"
"$VEMRA" export "$work/r.vpk" --format bdf -o "$work/r.bdf" >/dev/null
head -c 8 "$work/r.bdf" | tail -c 7 | grep -q "BIOSEMI" || fail "bdf id"
"$VEMRA" analyze "$work/r.vpk" --out "$work/r-cycles.csv" >/dev/null || fail "analyze recording"
if [ -w /dev/full ]; then
  if "$VEMRA" record --simulate --seconds 1 -o /dev/full >/dev/null 2>&1; then fail "a full disk recorded"; fi
fi

# A session records and analyses; the recording reads back; the second session connects
# the headband the first one made preferred; forgetting it clears the preference.
expect "recording: $work/s.vpk" "$VEMRA" session --virtual --seconds 3 --record "$work/s.vpk" --analyze
expect "250" "$VEMRA" info "$work/s.vpk"
"$VEMRA" analyze "$work/s.vpk" --out "$work/s-cycles.csv" >/dev/null || fail "analyze session recording"
expect "preferred headband" "$VEMRA" session --virtual --seconds 1
preferred=$("$VEMRA" devices | awk '/\(preferred\)/ {print $1}')
[ -n "$preferred" ] || fail "devices: no preferred headband"
expect "forgot" "$VEMRA" forget "$preferred"
expect "preferred: none" "$VEMRA" devices
# Diagnostics: the half-minute run (virtual time here) writes a JSON report that Python reads.
mkdir -p "$work/tmp"
out=$(TMPDIR="$work/tmp" "$VEMRA" diagnostics --virtual --scenario flat-left 2>&1) || fail "diagnostics: $out"
grep -q "electrodes: left Failed, right Pass" <<<"$out" || fail "diagnostics: $out"
python3 -c 'import json,sys; assert json.load(open(sys.argv[1]))["electrodeStatus"]["left"] == "Failed"' \
  "$(sed -n 's/^report: //p' <<<"$out")" || fail "diagnostics: the report is not that JSON"

# Broken input is refused with an error, not a crash.
head -c 40 "$work/r.vpk" > "$work/broken.vpk"
set +e
"$VEMRA" info "$work/broken.vpk" >/dev/null 2>&1; rc=$?
set -e
[ $rc -ne 0 ] && [ $rc -lt 128 ] || fail "damaged file: exit $rc"
# Intel HEX to binary: only data from address 0x1000 on; a damaged record is refused.
printf ':02000000AABB99\r\n:04100000DEADBEEFB4\r\n:00000001FF\r\n' > "$work/fw.hex"
expect "wrote 4 bytes" "$VEMRA" hex2bin "$work/fw.hex" -o "$work/fw.bin"
[ "$(od -An -tx1 "$work/fw.bin" | tr -d ' \n')" = deadbeef ] || fail "hex2bin image"
printf ':FF100000DEAD\r\n' > "$work/bad.hex"
set +e
"$VEMRA" hex2bin "$work/bad.hex" -o "$work/bad.bin" >/dev/null 2>&1; rc=$?
set -e
[ $rc -ne 0 ] && [ $rc -lt 128 ] || fail "damaged hex: exit $rc"

# Auxiliary services: a tone into a WAV file read back at its rate and frequency; an offline
# placemark; without a sound server or a location service the commands say why and fail.
"$VEMRA" tone --frequency 440 --seconds 0.5 --rate 8000 --wav "$work/t.wav" >/dev/null
python3 - "$work/t.wav" <<'PY' || fail "tone: WAV file"
import struct, sys
data = open(sys.argv[1], "rb").read()
assert data[:4] == b"RIFF" and data[8:12] == b"WAVE", "not a WAV file"
tag, channels, rate = struct.unpack_from("<HHI", data, 20)
assert (tag, channels, rate) == (3, 1, 8000), (tag, channels, rate)
size = struct.unpack_from("<I", data, 54)[0]
samples = struct.unpack_from("<%df" % (size // 4), data, 58)
assert abs(len(samples) - 4000) <= 160, len(samples)
ups = sum(1 for a, b in zip(samples, samples[1:]) if a < 0 <= b)
assert abs(ups / (len(samples) / rate) - 440) < 10, ups
PY
expect "Europe/Berlin" "$VEMRA" locate --at 52.52,13.405
set +e
out=$(PULSE_SERVER=unix:/nonexistent/pulse VPK_AUDIO_CONNECT_TIMEOUT=1 "$VEMRA" tone --seconds 1 2>&1); rc=$?
[ $rc -eq 1 ] && grep -q "sound server" <<<"$out" || fail "tone without a sound server: exit $rc: $out"
out=$(DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus "$VEMRA" locate --timeout 5 2>&1); rc=$?
[ $rc -eq 1 ] && grep -q "no location" <<<"$out" || fail "locate without a location service: exit $rc: $out"
set -e

# Over BlueZ: the mock BlueZ on a private system bus serves the same simulated headbands.
if [ -n "$MOCK_BLUEZ" ] && command -v dbus-daemon >/dev/null; then
  mkdir -p "$work/bus"
  cat > "$work/bus.conf" <<CONF
<busconfig><type>system</type><listen>unix:dir=$work/bus</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/></policy></busconfig>
CONF
  exec 3< <(setpriv --pdeathsig KILL dbus-daemon --config-file="$work/bus.conf" --nofork --print-address 2>/dev/null)
  pids+=($!)
  read -r -t 5 address <&3 || fail "no private bus"
  export DBUS_SYSTEM_BUS_ADDRESS=$address
  exec 4< <(setpriv --pdeathsig KILL "$MOCK_BLUEZ" --headbands 2)
  pids+=($!)
  read -r -t 10 ready <&4 && [ "$ready" = ready ] || fail "mock BlueZ did not start"
  expect "org.bluez) on the system bus" "$VEMRA" doctor
  expect "backend bluez (BlueZ is on the system bus" "$VEMRA" scan --seconds 1
  expect "DR0404" "$VEMRA" probe --backend bluez --signal-seconds 1
  expect "0 gaps in the packet counter" "$VEMRA" probe --backend bluez --signal-seconds 1
  # A session connects the strongest headband through the device manager and streams.
  out=$("$VEMRA" session --backend bluez --seconds 1 2>&1) || fail "session over BlueZ exited with $?: $out"
  grep -q "^connected Vemra" <<<"$out" && grep -q "streamed [0-9.]* s, [1-9][0-9]* packets" <<<"$out" ||
    fail "session over BlueZ: $out"
  unset DBUS_SYSTEM_BUS_ADDRESS
fi

echo "vemra smoke test: 1 passed, 0 failed"
