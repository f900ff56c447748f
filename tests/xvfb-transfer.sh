#!/bin/sh
# The update window of the real program on a 1024 x 768 Xvfb screen, against meridan-headend-sim
# at the real line rate on a pseudo-terminal, driven with xdotool as a person would:
# - F2, Expert (Alt+E) and Add File (Alt+A) during a transfer open no dialog, and the module
#   takes the image in one attempt, with no byte of it outside the update;
# - F1 and Esc work after each of the window's boxes and dialogs: no image, the password,
#   a cancelled Add File, the Overwrite question, a lost port.
# Every key waits until the window it is meant for has the keyboard. Exits 77 (skipped) when
# Xvfb or xdotool is missing.
#   xvfb-transfer.sh BUILD_DIR
set -eu
build=$(cd "$1" && pwd)
if ! command -v Xvfb >/dev/null 2>&1 || ! command -v xdotool >/dev/null 2>&1; then
    echo "SKIP: Xvfb or xdotool is not installed"
    exit 77
fi
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
    command -v import >/dev/null 2>&1 && import -window root "$build/xvfb-transfer-failure.png" || true
    sed 's/^/sim: /' "$tmp/sim.log" | grep -v '^sim: frame' | tail -n 20 >&2 || true
    exit 1
}
# Waits up to $1 tenths of a second for the rest of the line to succeed; generous, for a
# sanitizer build on a busy machine.
within() {
    n=$1
    shift
    until "$@" >/dev/null 2>&1; do
        n=$((n - 1))
        [ "$n" -gt 0 ] || return 1
        sleep 0.1
    done
}
shown() { xdotool search --onlyvisible --name "$1"; }
# The window that has the keyboard is named as the pattern says.
focus_is() { xdotool getwindowfocus getwindowname | grep -Eq "$1"; }
main_name='^Meridan Converter V'
# Presses keys once the window named by $1 has the keyboard.
keys_to() {
    pattern=$1
    shift
    within 300 focus_is "$pattern" || fail "the window $pattern did not get the keyboard for $*"
    xdotool key "$@"
}
requests() { grep -c '^firmware update request' "$tmp/sim.log" || true; }
requests_at_least() { [ "$(requests)" -ge "$1" ]; }
# Bytes the unit took outside an update: anything it saw as a command or could not place.
stray() { grep -E '^(frame|violation)' "$tmp/sim.log" || true; }
no_dialog_for() {
    for k in 1 2 3 4 5 6 7 8 9 10; do
        if shown '^Expert Password$' || shown '^Add Bin-File$'; then return 1; fi
        sleep 0.2
    done
}

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb=$!
within 100 grep -q '^[0-9][0-9]*$' "$tmp/display" || fail "Xvfb did not start"
DISPLAY=:$(cat "$tmp/display")
export DISPLAY

"$build/sim/meridan-headend-sim" --paced --verbose --firmware-out "$tmp/received.bin" \
    >"$tmp/sim.out" 2>"$tmp/sim.log" &
sim=$!
within 50 grep -q . "$tmp/sim.out" || fail "the simulated headend did not start"
mkdir -p "$tmp/config/Meridan" "$tmp/program" "$tmp/elsewhere"
printf '[Ports]\nCom1=%s\n\n[Settings]\nCOM-Port=1\n' "$(head -n 1 "$tmp/sim.out")" \
    >"$tmp/config/Meridan/Meridan Converter.conf"
# The program in a folder of its own, without a firmware image at first.
cp "$build/app/meridan-converter" "$build/app/sat.ico" "$tmp/program/"
# One sector of random bytes, with the link's words in it: a byte of it taken as a command
# would show in the unit's log.
head -c 65536 /dev/urandom >"$tmp/image.bin"
for at in 1000 20000 40000 60000; do
    printf 'TSOKUPEN\050\000\000' | dd of="$tmp/image.bin" bs=1 seek=$at conv=notrunc 2>/dev/null
done
echo "leak:libdbus-1.so" >"$tmp/leaks.supp"
(cd "$tmp" && XDG_CONFIG_HOME="$tmp/config" QT_QPA_PLATFORM=xcb \
    LSAN_OPTIONS="suppressions=$tmp/leaks.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" \
    exec "$tmp/program/meridan-converter") >"$tmp/program.log" 2>&1 &
program=$!

within 300 shown "$main_name" || fail "the main window did not open"
main=$(shown "$main_name" | head -n 1)
# There is no window manager: give the main window the keyboard as one would.
xdotool windowfocus --sync "$main"
keys_to "$main_name" alt+m f

# No image: the box says so; F1 works again once it is closed.
for n in 1 2; do
    keys_to "$main_name" F1
    within 300 shown '^Update Error$' || fail "F1 without an image showed no box ($n)"
    keys_to '^Update Error$' Return
    within 150 sh -c "! xdotool search --onlyvisible --name '^Update Error$'" ||
        fail "Return did not close the box"
done

# A transfer started with F1; F2 and Expert meanwhile open nothing.
transfer() {
    before=$(requests)
    rm -f "$tmp/received.bin"
    keys_to "$main_name" F1
    within 300 requests_at_least $((before + 2)) || fail "F1 did not start the update ($1)"
    sleep 3 # a sector on its way
    for key in $2; do
        keys_to "$main_name" "$key"
        no_dialog_for || fail "$key opened a dialog during the transfer ($1)"
    done
    within 600 test -s "$tmp/received.bin" || fail "the module did not receive the image ($1)"
    cmp -s "$tmp/image.bin" "$tmp/received.bin" || fail "the module received another image ($1)"
    # The module check's request and one attempt: no restart.
    [ "$(requests)" -eq $((before + 2)) ] || fail "the update needed a restart ($1)"
    [ -z "$(stray)" ] || fail "bytes outside the update ($1): $(stray | head -n 3)"
    sleep 6 # the success word, then Ready
}
cp "$tmp/image.bin" "$tmp/program/VELNO_S0001_test.bin"
transfer "not expert" "F2 alt+e"

# The password; then Add File, cancelled: F1 works after both.
keys_to "$main_name" F2
within 150 shown '^Expert Password$' || fail "F2 did not open the password dialog"
keys_to '^Expert Password$' 4 1 9 8 6 Return
within 150 sh -c "! xdotool search --onlyvisible --name '^Expert Password$'" ||
    fail "the password did not close the dialog"
keys_to "$main_name" alt+a
within 150 shown '^Add Bin-File$' || fail "Alt+A did not open the Add File dialog"
keys_to '^Add Bin-File$' Escape
within 150 sh -c "! xdotool search --onlyvisible --name '^Add Bin-File$'" ||
    fail "Esc did not close the Add File dialog"
transfer "expert" "alt+a F2"

# Add File of an image by the same name: the Overwrite question, answered Cancel.
cp "$tmp/image.bin" "$tmp/elsewhere/VELNO_S0001_test.bin"
keys_to "$main_name" alt+a
within 150 shown '^Add Bin-File$' || fail "Alt+A did not open the Add File dialog"
keys_to '^Add Bin-File$' ctrl+a
xdotool type --delay 20 "$tmp/elsewhere/VELNO_S0001_test.bin"
xdotool key Return
within 150 shown '^Meridan Converter$' || fail "no Overwrite question"
keys_to '^Meridan Converter$' Escape
within 150 sh -c "! xdotool search --onlyvisible --name '^Meridan Converter$'" ||
    fail "Esc did not close the Overwrite question"

# F1 again; the unit's line goes away during the check: "Com Port lost".
before=$(requests)
keys_to "$main_name" F1
within 300 requests_at_least $((before + 1)) || fail "F1 after the Overwrite question did nothing"
kill "$sim"
wait "$sim" 2>/dev/null || true
sim=""
within 300 shown '^ComPortError$' || fail "no box for the lost port"
keys_to '^ComPortError$' Return
within 150 sh -c "! xdotool search --onlyvisible --name '^ComPortError$'" ||
    fail "Return did not close the lost port's box"
# F1 now: no port.
keys_to "$main_name" F1
within 300 shown '^ComPortError$' || fail "F1 after the lost port's box did nothing"
keys_to '^ComPortError$' Return
within 150 sh -c "! xdotool search --onlyvisible --name '^ComPortError$'" ||
    fail "Return did not close the box"
# Esc ends the program.
keys_to "$main_name" Escape
within 300 sh -c "! kill -0 $program" || fail "Esc after the boxes did not end the program"
status=0
wait "$program" || status=$?
program=""
[ "$status" -eq 0 ] || { cat "$tmp/program.log" >&2; fail "the program ended with status $status"; }
echo "PASS"
