#!/usr/bin/env bash
# Installs everything norvane needs to build and test, from Debian packages.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config
  libsqlite3-dev libpulse-dev zlib1g-dev libsamplerate0-dev libfftw3-dev libusb-1.0-0-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # test peers: the real decoders and their simulators, a PulseAudio server,
  # independent modem sources (oggdec turns ebook2cw's Ogg output into WAV), curl for uploads,
  # sqlite3 for inspection, tshark to dissect the PSK Reporter datagrams independently, man and
  # groff to render the manual page
  wsjtx pulseaudio pulseaudio-utils minimodem ebook2cw vorbis-tools curl sqlite3 tshark python3
  man-db groff-base
  # an independent PNG decoder that reads back the pictures the SSTV and WEFAX modems save
  python3-pil
)

sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
