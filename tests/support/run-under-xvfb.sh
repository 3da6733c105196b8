#!/bin/sh
# Runs a command on a private Xvfb display with Qt's xcb platform, for the screenshot tests
# (see Screenshot.h). Exits 77, which ctest reports as a skip, when no X server starts here.
if ! command -v Xvfb >/dev/null 2>&1; then
    echo "Xvfb is not installed: no screenshots"
    exit 77
fi
dir=$(mktemp -d) || exit 77
: >"$dir/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$dir/display" 2>"$dir/log" &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -rf "$dir"' EXIT

# The display number arrives, with a newline, once the server accepts clients.
tries=0
while [ "$(wc -l <"$dir/display")" -lt 1 ]; do
    tries=$((tries + 1))
    if ! kill -0 "$pid" 2>/dev/null || [ "$tries" -gt 100 ]; then
        echo "Xvfb did not start: no screenshots"
        cat "$dir/log"
        exit 77
    fi
    sleep 0.1
done

DISPLAY=":$(head -n 1 "$dir/display")" QT_QPA_PLATFORM=xcb "$@"
