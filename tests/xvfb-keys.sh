#!/bin/sh
# The real program on a 1366 x 768 Xvfb screen and the real serial port, against
# meridan-headend-sim on a pseudo-terminal, driven with xdotool as a person would: keys go to
# the window that has the keyboard, so each key waits until the window it is meant for has
# it. Exits 77 (skipped) when Xvfb or xdotool is missing.
#   xvfb-keys.sh BUILD_DIR
. "$(dirname "$0")/xvfb-lib.sh"
image="$build/app/VELNO_S0100_demo.bin"
start_xvfb 1366x768x24
start_sim --firmware-out "$tmp/received.bin"
start_program "$build/app/meridan-converter"

dialog() { shown '^Expert Password$'; }
no_dialog() { ! dialog; }
frames_at_least() { [ "$(grep -c '^frame' "$tmp/sim.log" || true)" -ge "$1" ]; }

eval "$(xdotool getwindowgeometry --shell "$main")"
[ "$X" -ge 0 ] && [ "$Y" -ge 0 ] && [ $((X + WIDTH)) -le 1366 ] && [ $((Y + HEIGHT)) -le 768 ] ||
    fail "the main window (${WIDTH}x${HEIGHT} at $X,$Y) does not fit the 1366 x 768 screen"

# The update window from the menu, and F1 at once: the module receives the image.
keys_to "$main_name" alt+m f F1
# Three sectors at the line rate: a block counts as sent once the line can have carried it.
within 700 test -s "$tmp/received.bin" || fail "F1 right after opening the update window sent nothing"
cmp -s -n "$(stat -c %s "$image")" "$image" "$tmp/received.bin" ||
    fail "the module received another image"

# F2: the password dialog, once the update has ended (meanwhile F2 opens nothing). Esc there
# closes the dialog and leaves the program running.
tries=0
until dialog >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ "$tries" -le 60 ] || fail "F2 did not open the password dialog"
    keys_to "$main_name" F2
    sleep 0.5
done
keys_to '^Expert Password$' Escape
within 150 no_dialog || fail "Esc did not close the password dialog"
alive || fail "Esc in the password dialog ended the program"

# The overview: its read of the unit, then F1, F2 and Esc, which are not its keys.
keys_to "$main_name" alt+m p
within 300 frames_at_least 89 || fail "the overview did not read the unit"
before=$(requests)
keys_to "$main_name" F1 F2 Escape
sleep 3
[ "$(requests)" = "$before" ] || fail "F1 in the overview started a firmware update"
no_dialog || fail "F2 in the overview opened the password dialog"
alive || fail "Esc in the overview ended the program"

# Back to the update window: Esc ends the program.
keys_to "$main_name" alt+m f
escape_ends_program
