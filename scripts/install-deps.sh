#!/usr/bin/env bash
# Installs every Debian package the project builds, tests or runs with.
# Skips apt entirely when all of them are already present, so repeated
# runs (and CI on a warm machine) cost nothing.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config ccache git
  clang llvm libclang-rt-14-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest libbenchmark-dev openssl libxml2-utils
  # engine side
  libssl-dev libxml2-dev libcurl4-openssl-dev libcjson-dev libyuv-dev
  # multimedia
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-plugins-ugly gstreamer1.0-libav gstreamer1.0-x gstreamer1.0-pulseaudio
  gstreamer1.0-tools
  # interface
  libgtkmm-3.0-dev gettext xvfb xauth x11-utils pulseaudio dbus-x11
  # screen list and the audio device tests
  libx11-dev libxrandr-dev x11-xserver-utils pulseaudio-utils gstreamer1.0-plugins-base-apps
  # network test hosts and tools
  iproute2 iptables tcpdump tshark coturn iperf3 srt-tools
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
# tshark asks whether non-root users may capture; answer once, quietly.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
