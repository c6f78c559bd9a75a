#!/bin/sh
# Compares the dynamic symbols a library defines with the expected export list.
set -eu
lib=$1
expected=$2
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
if [ "$soname" != "libkestrel_api.so.1" ]; then
    echo "SONAME is '$soname', expected libkestrel_api.so.1"
    exit 1
fi
actual=$(nm -D --defined-only "$lib" | awk '$3 != "" { print $3 }' | sed 's/@.*//' | sort -u)
wanted=$(grep -v '^#' "$expected" | sed '/^$/d' | sort -u)
if [ "$actual" != "$wanted" ]; then
    echo "exported symbols differ from $expected:"
    printf '%s\n' "$wanted" > /tmp/kestrel_exports_wanted.$$
    printf '%s\n' "$actual" | diff /tmp/kestrel_exports_wanted.$$ - || true
    rm -f /tmp/kestrel_exports_wanted.$$
    exit 1
fi
echo "exports ok: $(printf '%s\n' "$actual" | wc -l) symbols"
