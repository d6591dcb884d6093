#!/usr/bin/env bash
# Installs the Debian packages the helper, its tests and its benchmarks need (as root), plus
# any further package named on the command line; only what is missing is fetched. The
# end-to-end tests start private PulseAudio and PipeWire servers (PipeWire with wireplumber,
# pipewire-pulse and a session bus of its own: dbus-daemon).
set -euo pipefail
packages=("$@" build-essential cmake ninja-build pkg-config clang-format libopus-dev libpulse-dev
          libgtest-dev libgmock-dev libbenchmark-dev
          pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber dbus-daemon libpipewire-0.3-dev libogg-dev libopusfile-dev opus-tools valgrind
          clang-19 libfuzzer-19-dev libclang-rt-19-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
