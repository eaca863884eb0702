#!/usr/bin/env bash
# System packages the build needs (Debian): Boost 1.81 headers (string
# algorithms, Boost.Geometry) and GoogleTest for the C++ unit tests.
set -euo pipefail
need=()
[ -f /usr/include/boost/version.hpp ] && grep -q 'BOOST_LIB_VERSION "1_8[1-9]"' /usr/include/boost/version.hpp \
  || need+=(libboost1.81-dev)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ "${WITH_CLANG:-0}" = 1 ] && { command -v clang++ >/dev/null && [ -d /usr/lib/llvm-14/lib/clang ] || need+=(clang libclang-rt-14-dev); }
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  echo "installing: ${need[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
