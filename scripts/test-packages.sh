#!/usr/bin/env bash
# The packages installed the way each ecosystem installs them (called by
# scripts/test.sh after the main build; Debian's python3 with its
# python3-skbuild, offline):
#   - `pip install --no-build-isolation .` into a fresh virtual environment,
#     the package's pytest suite against the installed package, and
#     `pip uninstall` leaving the environment as it was;
#   - the wheel of `python3 -m build --wheel --no-isolation`: its name, tags
#     and libraries (tests/packages/check_wheel.py), installed into another
#     fresh environment and imported;
#   - the Debian package that `cpack -G DEB` makes of the build's programs,
#     installed, run and purged (tests/packages/test_debian_package.py; root).
# The builds are reused: the wheel's from pip's (both in _skbuild/), the
# programs from the main build.
#
# usage: scripts/test-packages.sh      The main build comes from
#        KIVO_LINUX_BUILD (default build/, built by scripts/test.sh).
source "$(dirname "$0")/test-lib.sh"

build="${KIVO_LINUX_BUILD:-$root/build}"
python=/usr/bin/python3
version=$(sed -n 's/^project(kivo VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Offline, and nothing kept in the user's cache.
export PIP_NO_INDEX=1 PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1
for needed in "$build/tools/kivosim/kivosim" "$build/CPackConfig.cmake"; do
  [[ -e "$needed" ]] || { echo "not built: $needed (scripts/test.sh builds it)" >&2; exit 1; }
done

# snapshot <folder>: every path below it, to compare before and after.
snapshot() { (cd "$1" && find . | LC_ALL=C sort); }

# installed_kivo <venv> <version>: imported from outside the source tree, kivo
# is the one installed into the environment, of the project's version.
installed_kivo() {
  (cd "$work" && "$1/bin/python" -c '
import sys, kivo
from importlib.metadata import version
where, venv, wanted = kivo.__file__, sys.argv[1], sys.argv[2]
print("kivo", kivo.__version__, "from", where)
assert where.startswith(venv + "/"), "kivo comes from " + where
assert kivo.__version__ == version("kivo") == wanted, (kivo.__version__, version("kivo"), wanted)
' "$1" "$2")
}

step "Python: pip install . into a fresh virtual environment, its tests, pip uninstall"
venv="$work/venv"
"$python" -m venv --system-site-packages "$venv"
snapshot "$venv" >"$work/venv-before"
started_pip=$SECONDS
(cd "$root" && "$venv/bin/pip" install -q --no-build-isolation .)
echo "pip install: $((SECONDS - started_pip)) s"
installed_kivo "$venv" "$version"
(cd "$work" && KIVOSIM="$build/tools/kivosim/kivosim" KIVOINSPECT="$build/tools/kivoinspect/kivoinspect" KIVO_TEST_PORT=48200 \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider --basetemp="$work/pytest" "$root/tests/python")
"$venv/bin/pip" uninstall -q -y kivo
snapshot "$venv" >"$work/venv-after"
diff -u "$work/venv-before" "$work/venv-after" || { echo "pip uninstall left the files above" >&2; exit 1; }

step "Python: the wheel, its tags and libraries, installed into another fresh environment"
started_wheel=$SECONDS
(cd "$root" && "$venv/bin/python" -m build --wheel --no-isolation --outdir "$work/dist" . >"$work/wheel.log") ||
  { cat "$work/wheel.log"; exit 1; }
echo "wheel build: $((SECONDS - started_wheel)) s"
wheel=("$work"/dist/kivo-*.whl)
"$venv/bin/python" "$root/tests/packages/check_wheel.py" "${wheel[0]}" "$version"
"$python" -m venv --system-site-packages "$work/venv-wheel"
"$work/venv-wheel/bin/pip" install -q "${wheel[0]}"
installed_kivo "$work/venv-wheel" "$version"

step "Debian package: apt-get install, the programs from the PATH, a recording, apt-get purge"
started_deb=$SECONDS
(cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
echo "cpack: $((SECONDS - started_deb)) s"
status=0
"$python" "$root/tests/packages/test_debian_package.py" "$work/deb/kivo_${version}_$(dpkg --print-architecture).deb" || status=$?
[[ $status -eq 0 || $status -eq 77 ]] || exit "$status"
echo "Debian package: $((SECONDS - started_deb)) s"
