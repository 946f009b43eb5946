#!/usr/bin/env bash
# Installs every Debian package that building, testing and the demo need.
# Safe to run again: it installs only what is missing.
#   install-deps.sh          what building, the tests and the demo need
#   install-deps.sh --bench  also what the benchmarks compare against (fetchmail,
#                            ripmime; tiff2pdf is in libtiff-tools) and strace,
#                            which counts the program's system calls
set -euo pipefail
pkgs=(
  build-essential cmake pkg-config clang clang-format libclang-rt-14-dev
  googletest libgtest-dev
  libgmime-3.0-dev libtiff-dev libcairo2-dev libcups2-dev libturbojpeg0-dev libssl-dev liburing-dev libxxhash-dev
  fonts-dejavu-core poppler-utils libtiff-tools openssl time
  dovecot-pop3d dovecot-submissiond python3 python3-aiosmtpd cups cups-client cups-filters
  libmicrohttpd-dev
  # the browser tests of voxafax web: headless Chromium driven by Selenium
  chromium chromium-driver python3-selenium
)
if [ "${1:-}" = "--bench" ]; then
  pkgs+=(fetchmail ripmime strace safecat linux-perf)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
