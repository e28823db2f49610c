#!/usr/bin/env bash
# Builds the Debian package from a build folder (default build/, as scripts/build.sh leaves it)
# and checks it as Debian would before it goes to a fleet's package repository: lintian, pedantic,
# with no complaint of any level, and systemd-analyze verify on its units inside the package's
# own tree (the service's program and manual page must be there), and systemd-analyze security on
# its service: exposure 4.5 at most, as today. Prints the package's path.
#
#   scripts/package.sh [BUILD_FOLDER [OUTPUT_FOLDER]]
#
# The Maintainer field is the build's FWKIT_PACKAGE_MAINTAINER:
#   cmake -S . -B build -DFWKIT_PACKAGE_MAINTAINER="Firmware team <firmware@example.net>"
set -euo pipefail
build="$(realpath "${1:-build}")"
out="$(realpath "${2:-$build}")"
version="$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")"
deb="$out/fwkit_${version}_$(dpkg --print-architecture).deb"
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)

# A sanitizer build (scripts/sanitize.sh) cannot have the checked functions of a release build.
suppress=()
if grep -q '^CMAKE_CXX_FLAGS:STRING=.*-fsanitize=' "$build/CMakeCache.txt"; then
  suppress=(--suppress-tags hardening-no-fortify-functions)
fi
lintian --pedantic --display-info --fail-on error,warning,info,pedantic "${suppress[@]}" "$deb" >&2

tree="$(mktemp -d)"
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
mapfile -t units < <(find "$tree" -path '*/systemd/system/*' -type f)
[ ${#units[@]} -gt 0 ] || { echo "no systemd unit in $deb" >&2; exit 1; }
# systemd's own targets, which the units are ordered against, beside the package's tree.
mkdir -p "$tree/lib/systemd"
cp -r /usr/lib/systemd/system "$tree/lib/systemd/system"
rm -f "$tree"/lib/systemd/system/fwkit-*
report="$(MANPATH="$tree/usr/share/man" systemd-analyze verify --root="$tree" "${units[@]}" 2>&1)" ||
  { echo "$report" >&2; exit 1; }
[ -z "$report" ] || { echo "systemd-analyze verify: $report" >&2; exit 1; }
for unit in "${units[@]}"; do
  [[ "$unit" == *.service ]] || continue
  systemd-analyze security --offline=true --threshold=45 --root="$tree" "$unit" >/dev/null 2>&1 || {
    systemd-analyze security --offline=true --root="$tree" "$unit" >&2
    echo "systemd-analyze security: $unit is exposed more than 4.5" >&2
    exit 1
  }
done
echo "$deb"
