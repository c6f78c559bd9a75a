#!/bin/sh
# `pip install ./python` into a fresh virtual environment, offline: the build backend
# (setuptools) comes from the interpreter's own packages (Debian: python3-setuptools,
# python3-venv, python3-wheel), nothing from an index. The installed package then finds the
# library through KESTREL_LIB, and through the loader without it.
# Usage: pip_install_test.sh <source-dir> <build-dir> <python3>
set -eu
src=$1
build=$2
py=$3
work=$(mktemp -d /tmp/kestrel_pip_XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}

# A copy, so that the build leaves nothing in the checkout.
cp -r "$src/python" "$work/python"
rm -rf "$work/python/tests"
"$py" -m venv --system-site-packages "$work/venv" || fail "no venv"
"$work/venv/bin/python" -m pip install --no-index --no-build-isolation --disable-pip-version-check \
    -q "$work/python" || fail "pip install ./python"
rm -rf "$work/python"

cd "$work"
check='
import kestrel, os
print("file", os.path.dirname(kestrel.__file__))
print("version", kestrel.__version__, ".".join(map(str, kestrel.library_version())))
print("devices", [d.serial for d in kestrel.devices()])'
for how in KESTREL_LIB loader; do
    if [ $how = KESTREL_LIB ]; then
        out=$(env -u PYTHONPATH KESTREL_LIB="$build/src/libkestrel_api.so.1" \
            "$src/sim/run" "$build" "$work/venv/bin/python" -c "$check" 2>&1) || fail "$how: $out"
    else
        out=$(env -u PYTHONPATH -u KESTREL_LIB LD_LIBRARY_PATH="$build/src" \
            "$src/sim/run" "$build" "$work/venv/bin/python" -c "$check" 2>&1) || fail "$how: $out"
    fi
    echo "$out" | grep -q "^file $work/venv/lib/" || fail "$how: not the installed package: $out"
    echo "$out" | grep -q "^version \([0-9.]*\) \1$" || fail "$how: versions differ: $out"
    echo "$out" | grep -q "^devices \['7302101000001'\]" || fail "$how: $out"
done
"$work/venv/bin/python" -m pip show kestrel | grep -q "^License: MIT" || fail "pip show: no licence"

# README.md's pip lines, as written, in a scratch directory laid out like the checkout.
readme=$work/readme
mkdir "$readme"
cp -r "$src/python" "$readme/python"
rm -rf "$readme/python/tests"
ln -s "$build" "$readme/build"
ln -s "$src/sim" "$readme/sim"
sed -n '/^<!-- example: skip .*python_pip_install runs these lines/,/^$/p' "$src/README.md" |
    sed -n 's/^    //p' >"$work/lines"
[ "$(wc -l <"$work/lines")" -ge 3 ] || fail "README.md: no pip lines"
# Their python3 is the interpreter this test was given (with venv, setuptools and wheel).
mkdir "$work/bin"
ln -s "$(command -v "$py")" "$work/bin/python3"
out=$(cd "$readme" && env -u PYTHONPATH -u KESTREL_LIB PATH="$work/bin:$PATH" sh -e "$work/lines" 2>&1) ||
    fail "README.md's pip lines: $out"
echo "$out" | grep -q "7302101000001" || fail "README.md's pip lines: $out"
echo "$out" | grep -q "$build/src/libkestrel_api.so" || fail "README.md: not KESTREL_LIB's: $out"
# What the install builds in the package's directory is not the checkout's to keep.
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    for left in python/build python/kestrel.egg-info; do
        git -C "$src" check-ignore -q "$left" || fail "$left would show in git status"
    done
fi
echo "pip install ./python: ok"
