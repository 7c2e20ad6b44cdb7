#!/usr/bin/env bash
# Installs the Debian packages the build, tests and benchmarks need, when any is missing.
set -euo pipefail
packages=(g++ make cmake libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev libomp-14-dev
          libeigen3-dev nlohmann-json3-dev zlib1g-dev pybind11-dev python3-dev python3-numpy python3-pytest librsvg2-bin
          pkg-config libceres-dev libyaml-cpp-dev libopencv-core-dev
          python3-venv python3-setuptools python3-wheel python3-build man-db groff-base
          python3-pandas)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
