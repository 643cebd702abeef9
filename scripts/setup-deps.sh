#!/usr/bin/env bash
# Installs what building and testing libtarvo needs on Debian 12 (run as root).
set -euo pipefail
packages=(
    build-essential cmake pkg-config clang-format
    libusb-1.0-0-dev libzip-dev libpng-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    umockdev libumockdev-dev
    libcli11-dev
    # recordings: zstd-compressed chunks of MCAP files (recording/)
    libzstd-dev
    # tarvo view: the HTTP server, and the headless browser its page test runs in
    libcpp-httplib-dev chromium chromium-driver python3-selenium
    # the reference implementation the lens benchmark measures against (bench/bench_lens.cpp)
    libopencv-dev
    pybind11-dev python3-dev python3-numpy python3-pytest
    # the fuzzing tree: clang with libFuzzer and the sanitizer runtimes
    clang libclang-rt-14-dev
    # Node runs the tests' outside MCAP reader of recordings
    nodejs
    # tarvo publish and subscribe: Cyclone DDS (ROS 2's DDS) and its IDL compiler idlc
    cyclonedds-dev cyclonedds-tools
    # the API reference, the manual pages and the Debian packages (scripts/package)
    doxygen help2man debhelper dh-python lintian fakeroot
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The tests' MCAP reader (@mcap/core) comes from npm, which some Node packages bring along.
command -v npm >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends npm; }
