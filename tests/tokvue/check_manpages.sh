#!/bin/sh
# Renders each manual page given as an argument with all groff warnings on; fails on any
# warning, on a rendering error, or on a page without its NAME section.
set -u
status=0
for page in "$@"; do
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    rc=$?
    if [ $rc -ne 0 ] || [ -n "$warnings" ]; then
        echo "FAIL: $page (groff status $rc)"
        printf '%s\n' "$warnings"
        status=1
        continue
    fi
    if ! groff -man -Tutf8 -P-cbou "$page" 2>/dev/null | grep -q '^NAME'; then
        echo "FAIL: $page has no NAME section"
        status=1
        continue
    fi
    echo "ok: $page"
done
exit $status
