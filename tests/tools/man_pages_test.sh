#!/bin/sh
# Every option that a tool's --help names is in its manual page (as roff writes it, \-\-x);
# kestrel-capture's page, written from the program, names no option --help lacks.
# Usage: man_pages_test.sh <build-dir>
set -u
build=$1
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# The options a text names: -x and --long-name words.
options() {
    grep -o -- '\(^\|[ ,[|]\)--*[a-zA-Z][a-zA-Z-]*' | sed 's/^[ ,[|]*//' | sort -u
}
for tool in kestrel-capture kestrel_util kestrel_handle_demo; do
    page=$build/packaging/man/$tool.1
    [ -f "$page" ] || { fail "no page $page"; continue; }
    help=$("$build/tools/$tool" --help 2>&1) || fail "$tool --help exited $?"
    [ -n "$help" ] || fail "$tool --help printed nothing"
    roff_options=$(sed 's/\\-/-/g; s/\\f[BIR]//g' "$page" | options)
    for o in $(printf '%s\n' "$help" | options) --version; do
        printf '%s\n' "$roff_options" | grep -qx -- "$o" || fail "$tool: $o is not in $page"
    done
done
# The other way round for kestrel-capture: options of the page's OPTIONS that --help lacks.
help=$("$build/tools/kestrel-capture" --help | options)
for o in $(sed -n '/^\.SH OPTIONS/,/^\.SH/p' "$build/packaging/man/kestrel-capture.1" |
           sed 's/\\-/-/g; s/\\f[BIR]//g' | grep -v '^\.' | grep -o -- '^--*[a-zA-Z][a-zA-Z-]*\(, --*[a-zA-Z-]*\)*' |
           tr ',' '\n' | sed 's/^ *//'); do
    printf '%s\n' "$help" | grep -qx -- "$o" || fail "kestrel-capture.1 has $o, which --help lacks"
done
# Defaults agree: those --help shows as =VALUE are in the page.
"$build/tools/kestrel-capture" --help | sed -n 's/^ *\(-[a-z],\)\?\(--[a-z-]*\) [A-Z][A-Za-z:{},]*=\([^ ]*\) .*/\2 \3/p' |
    while read -r o v; do
        sed 's/\\-/-/g' "$build/packaging/man/kestrel-capture.1" | grep -q "(default $v)" ||
            echo "FAIL: kestrel-capture.1: no default $v of $o"
    done | grep FAIL && failures=$((failures + 1))
if [ $failures -ne 0 ]; then
    echo "$failures failures"
    exit 1
fi
echo "manual pages ok"
