#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
pkgs=(build-essential cmake ninja-build qt6-base-dev libgl-dev libsqlite3-dev libssl-dev libgtest-dev
      nginx-light vsftpd tinyproxy ftp-proxy python3 python3-pyftpdlib xvfb xauth
      desktop-file-utils appstream man-db lintian dbus-daemon clang libclang-rt-dev)
# The browser tests': each is skipped, not failed, where these cannot be installed.
browser=(chromium chromium-driver python3-selenium firefox-esr)
command -v npm >/dev/null || browser+=(npm)
missing=()
for p in "${pkgs[@]}" "${browser[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${#missing[@]} Debian packages (first run, a few minutes): ${missing[*]}" >&2
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  needed=() optional=()
  for p in "${missing[@]}"; do
    if [[ " ${browser[*]} " == *" $p "* ]]; then optional+=("$p"); else needed+=("$p"); fi
  done
  [ ${#needed[@]} -eq 0 ] ||
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${needed[@]}" >/dev/null
  for p in "${optional[@]}"; do
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$p" >/dev/null ||
      echo "== could not install $p: the browser test that needs it will be skipped" >&2
  done
  # The packages start their system services; the tests run their own.
  for s in nginx vsftpd tinyproxy ftp-proxy; do $SUDO service "$s" stop >/dev/null 2>&1 || true; done
fi
# The Firefox test loads the extension with web-ext (npm; 8.x runs on Debian's Node 18).
if ! command -v web-ext >/dev/null && command -v npm >/dev/null; then
  echo "== installing web-ext (npm) for the Firefox test" >&2
  npm install -g --no-audit --no-fund --loglevel=error web-ext@8 >/dev/null ||
    echo "== could not install web-ext: the Firefox test will be skipped" >&2
fi
