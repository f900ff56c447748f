#!/bin/sh
# The real program on a 1366 x 768 Xvfb screen and the real serial port, against
# meridan-headend-sim on a pseudo-terminal, driven with xdotool as a person would: keys go to
# the window that has the keyboard. Exits 77 (skipped) when Xvfb or xdotool is missing.
#   xvfb-keys.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
if ! command -v Xvfb >/dev/null 2>&1 || ! command -v xdotool >/dev/null 2>&1; then
    echo "SKIP: Xvfb or xdotool is not installed"
    exit 77
fi
image="$build/app/VELNO_S0100_demo.bin"
tmp=$(mktemp -d)
xvfb=""
sim=""
program=""
cleanup() {
    for p in $program $sim $xvfb; do kill "$p" 2>/dev/null || true; done
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
fail() {
    echo "FAIL: $*" >&2
    command -v import >/dev/null 2>&1 && import -window root "$build/xvfb-keys-failure.png" || true
    exit 1
}
# Waits up to $1 tenths of a second for the rest of the line to succeed. The limits are
# generous: a sanitizer build on a busy machine takes many seconds to open its windows.
within() {
    n=$1
    shift
    until "$@" >/dev/null 2>&1; do
        n=$((n - 1))
        [ "$n" -gt 0 ] || return 1
        sleep 0.1
    done
}

# A display of its own: Xvfb takes a free number and writes it to descriptor 3 once it is up,
# so parallel runs and other users of the machine do not collide.
Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb=$!
within 100 grep -q '^[0-9][0-9]*$' "$tmp/display" || fail "Xvfb did not start"
DISPLAY=:$(cat "$tmp/display")
export DISPLAY

"$build/sim/meridan-headend-sim" --verbose --firmware-out "$tmp/received.bin" \
    >"$tmp/sim.out" 2>"$tmp/sim.log" &
sim=$!
within 50 grep -q . "$tmp/sim.out" || fail "the simulated headend did not start"
mkdir -p "$tmp/config/Meridan"
printf '[Ports]\nCom1=%s\n\n[Settings]\nCOM-Port=1\n' "$(head -n 1 "$tmp/sim.out")" \
    >"$tmp/config/Meridan/Meridan Converter.conf"
# In the sanitizer build: the desktop bus library keeps a buffer of its own to the end.
echo "leak:libdbus-1.so" >"$tmp/leaks.supp"
(cd "$tmp" && XDG_CONFIG_HOME="$tmp/config" QT_QPA_PLATFORM=xcb \
    LSAN_OPTIONS="suppressions=$tmp/leaks.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" \
    exec "$build/app/meridan-converter") >"$tmp/program.log" 2>&1 &
program=$!

alive() { kill -0 "$program" 2>/dev/null; }
dialog() { xdotool search --name '^Expert Password$'; }
no_dialog() { ! dialog; }
requests() { grep -c '^firmware update request' "$tmp/sim.log" || true; }
frames_at_least() { [ "$(grep -c '^frame' "$tmp/sim.log" || true)" -ge "$1" ]; }

within 300 xdotool search --name '^Meridan Converter V' || fail "the main window did not open"
main=$(xdotool search --name '^Meridan Converter V' | head -n 1)
eval "$(xdotool getwindowgeometry --shell "$main")"
[ "$X" -ge 0 ] && [ "$Y" -ge 0 ] && [ $((X + WIDTH)) -le 1366 ] && [ $((Y + HEIGHT)) -le 768 ] ||
    fail "the main window (${WIDTH}x${HEIGHT} at $X,$Y) does not fit the 1366 x 768 screen"
# There is no window manager: give the main window the keyboard as one would.
xdotool windowfocus --sync "$main"

# The update window from the menu, and F1 at once: the module receives the image.
xdotool key alt+m f F1
# Three sectors at the line rate: a block counts as sent once the line can have carried it.
within 700 test -s "$tmp/received.bin" || fail "F1 right after opening the update window sent nothing"
cmp -s -n "$(stat -c %s "$image")" "$image" "$tmp/received.bin" ||
    fail "the module received another image"

# F2: the password dialog. Esc there closes the dialog and leaves the program running.
xdotool key F2
within 150 dialog || fail "F2 did not open the password dialog"
xdotool key Escape
within 150 no_dialog || fail "Esc did not close the password dialog"
alive || fail "Esc in the password dialog ended the program"
sleep 9 # the last block's line time, the success word for 5 s, then Ready

# The overview: its read of the unit, then F1, F2 and Esc, which are not its keys.
xdotool key alt+m p
within 300 frames_at_least 89 || fail "the overview did not read the unit"
before=$(requests)
xdotool key F1 F2 Escape
sleep 3
[ "$(requests)" = "$before" ] || fail "F1 in the overview started a firmware update"
no_dialog || fail "F2 in the overview opened the password dialog"
alive || fail "Esc in the overview ended the program"

# Back to the update window: Esc ends the program.
xdotool key alt+m f
sleep 0.5
xdotool key Escape
within 300 sh -c "! kill -0 $program" || fail "Esc in the update window did not end the program"
status=0
wait "$program" || status=$?
program=""
[ "$status" -eq 0 ] || { cat "$tmp/program.log" >&2; fail "the program ended with status $status"; }
echo "PASS"
