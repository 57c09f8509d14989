#!/usr/bin/env bash
# Decoder mode end to end, no radio and no network: replays a short recording of FT8 signals
# at 14.074 MHz through the real jt9 and prints the spots it appended to ALL.TXT.
#
# The recording is made once and kept in demo/ (git-ignored): ft8sim writes the FT8 audio,
# iq_synth places it as upper-sideband signals in a 96 kHz IQ capture centred on 14.084 MHz,
# starting one second before 12:04:00 UTC and lasting two FT8 intervals and part of a third.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# Only the daemon and the recording tool: no tests, no benchmarks.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_BUILD_TESTS=ON -DNORVANE_BUILD_BENCH=OFF >/dev/null
cmake --build build --parallel "$(nproc)" --target norvane iq_synth

centre_hz=14084000
rate_hz=96000
start_utc=20240315_120359
recording=demo/ft8-14074.iq

mkdir -p demo
if [ ! -s "$recording" ]; then
  echo "demo: making the recording $recording"
  sim=$(mktemp -d)
  trap 'rm -rf "$sim"' EXIT
  make_ft8() {  # message audio-Hz file
    (cd "$sim" && ft8sim "$1" "$2" 0.0 0.0 0.0 1 99 >/dev/null && mv 000000_000001.wav "$3")
  }
  make_ft8 "CQ K1ABC FN42" 600 cq.wav
  make_ft8 "K1ABC W9XYZ EN37" 1300 answer.wav
  make_ft8 "CQ DX G4XYZ IO91" 2000 dx.wav
  make_ft8 "W9XYZ K1ABC -12" 900 report.wav
  make_ft8 "G4XYZ VK2ABC QF56" 1700 call.wav
  # Each WAV holds one 15 s interval; placed at 1 s and 16 s they fill 12:04:00 and 12:04:15.
  build/testbed/iq_synth --output "$recording.part" --center "$centre_hz" --rate "$rate_hz" --duration 38 \
    --gain-db -40 --snr -6 --seed 7 \
    --signal "$sim/cq.wav:14074000:1" --signal "$sim/answer.wav:14074000:1" --signal "$sim/dx.wav:14074000:1" \
    --signal "$sim/report.wav:14074000:16" --signal "$sim/call.wav:14074000:16"
  mv "$recording.part" "$recording"
fi

rm -f demo/ALL.TXT
build/norvane --mode decoder --iq-file "$recording" --start-utc "$start_utc" --iq-rate "$rate_hz" \
  --frequencies 14.074M --center-frequency 14.084M --all-txt demo/ALL.TXT

echo
echo "demo/ALL.TXT:"
cat demo/ALL.TXT
