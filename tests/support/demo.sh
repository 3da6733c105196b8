#!/bin/sh
# make demo: the loopback test server and two clients on this machine, logged in as alice and bob,
# so that a newcomer can chat in a room and privately, search, browse the other user and download
# both ways without the network. Each client has a home of its own under DEMO_DIR (its data file,
# downloads, shared files, logs, runtime folder and ports); the user's own ~/.Veltrane is never
# read or written. Everything started here stops once both windows are closed, or on Ctrl-C.
#   usage: demo.sh BUILD_DIR [DEMO_DIR]   (DEMO_DIR: BUILD_DIR/demo, made afresh at each start)
set -u
build=$(cd "${1:?usage: demo.sh BUILD_DIR [DEMO_DIR]}" && pwd) || exit 2
demo=${2:-$build/demo}
client=$build/src/veltrane
server=$build/tests/support/veltrane-testserver
home_tool=$build/tests/support/veltrane-demo-home
room=demo
password=demo

for program in "$client" "$server" "$home_tool"; do
    [ -x "$program" ] || { echo "demo: $program is missing; build first (make demo does)" >&2; exit 2; }
done
# Only a folder this script made is emptied, and never under a demo still running from it.
for lock in "$demo"/*/run/VeltraneQt.lock; do
    pid=$(head -n 1 "$lock" 2>/dev/null)
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        echo "demo: a demo from $demo is still running (client process $pid); close it first" >&2
        exit 2
    fi
done
if [ -e "$demo" ] && [ ! -e "$demo/.veltrane-demo" ] && [ -n "$(ls -A "$demo" 2>/dev/null)" ]; then
    echo "demo: $demo is not empty and was not made by this script; not touching it" >&2
    exit 2
fi
rm -rf "$demo" && mkdir -p "$demo" && : >"$demo/.veltrane-demo" || exit 1
demo=$(cd "$demo" && pwd)

server_pid=
clients= # pid:user of each client still running
# shellcheck disable=SC2317 # run by the traps
stop() {
    # The clients first, as closing their windows would: they save their data files and leave.
    for process in $clients $server_pid; do
        kill "${process%%:*}" 2>/dev/null
        wait "${process%%:*}" 2>/dev/null
    done
    clients=
    server_pid=
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# Made before the server starts, so that the first look for its port finds a file.
: >"$demo/server.log"
"$server" 0 >"$demo/server.log" 2>&1 &
server_pid=$!
port=
tries=0
while [ -z "$port" ]; do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$demo/server.log")
    [ -n "$port" ] && break
    tries=$((tries + 1))
    if ! kill -0 "$server_pid" 2>/dev/null || [ "$tries" -gt 100 ]; then
        echo "demo: the test server did not start:" >&2
        cat "$demo/server.log" >&2
        exit 1
    fi
    sleep 0.1
done
echo "Test server on 127.0.0.1:$port (its log: $demo/server.log)"

"$home_tool" "$demo/alice" alice "$password" "$port" "$room" bob || exit 1
"$home_tool" "$demo/bob" bob "$password" "$port" "$room" alice || exit 1

# The clients find their homes through HOME and XDG_RUNTIME_DIR; the display's credentials and a
# Wayland socket named relative to the old runtime folder stay where they are.
if [ -z "${XAUTHORITY:-}" ] && [ -n "${HOME:-}" ] && [ -f "$HOME/.Xauthority" ]; then
    export XAUTHORITY="$HOME/.Xauthority"
fi
case "${WAYLAND_DISPLAY:-}" in
"" | /*) ;;
*) [ -n "${XDG_RUNTIME_DIR:-}" ] && export WAYLAND_DISPLAY="$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" ;;
esac
for user in alice bob; do
    HOME="$demo/$user" XDG_RUNTIME_DIR="$demo/$user/run" "$client" >"$demo/$user/client.log" 2>&1 &
    clients="$clients $!:$user"
done
echo "alice and bob (password \"$password\") log in and join the room \"$room\"; each shares a folder"
echo "of files with \"demo\" in their names. Their homes: $demo/alice and $demo/bob."
echo "Close both windows, or press Ctrl-C, to stop the demo."

# Returns when both clients have ended; a signal's trap ends the script first. A client that fails
# (one with no display to open its window on ends at once) is named as it ends, with its output,
# and the demo ends with a failure once the other has ended too.
status=0
while [ -n "$clients" ]; do
    running=
    for entry in $clients; do
        pid=${entry%%:*}
        user=${entry#*:}
        if kill -0 "$pid" 2>/dev/null; then
            running="$running $entry"
            continue
        fi
        wait "$pid"
        code=$?
        if [ "$code" -ne 0 ]; then
            echo "demo: $user's client failed (exit status $code); its output: $demo/$user/client.log" >&2
            status=1
        fi
    done
    clients=$running
    [ -z "$clients" ] || sleep 0.2
done
exit "$status"
