#!/usr/bin/env bash
# Installs what building and testing fwkit needs on Debian, when it is missing.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libpci-dev pciutils pci.ids   # PCI enumeration and the PCI ID database
  libxml2-dev                   # catalog and discovery report
  libgtest-dev                  # unit and end-to-end tests
  umockdev                      # the simulated server's PCI devices
  python3 python3-pytest        # the simulated server's tools and the end-to-end scenarios
  util-linux                    # unshare, nsenter: a private /run for each simulated server
  dpkg-dev groff-base man-db    # the Debian package (dpkg-shlibdeps) and its manual page
  lintian systemd               # the package's checks (scripts/package.sh): lintian, systemd-analyze
  logrotate bash-completion     # the package's logrotate file (logrotate -d) and bash completion
  ansible-core ansible-lint     # the fleet rollout in contrib/ansible and its scenario
  prometheus-node-exporter      # reads the metrics file in the monitoring scenarios
  prometheus                    # promtool: checks the metrics and tests the alert rules
  sudo                          # a caller whom sudoers lets run fwkit only, in a scenario
  clang libclang-rt-14-dev      # the sanitizer build (scripts/sanitize.sh)
  libfuzzer-14-dev              # the fuzz targets (scripts/fuzz.sh)
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
