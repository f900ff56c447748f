#!/bin/sh
# The update window of the real program on a 1024 x 768 Xvfb screen, against
# meridan-headend-sim at the real line rate, driven with xdotool as a person would:
# - F2, Expert (Alt+E) and Add File (Alt+A) during a transfer open no dialog, and the module
#   takes the image in one attempt, with no byte of it outside the update;
# - F1 and Esc work after each of the window's boxes and dialogs: no image, the password,
#   a cancelled Add File, the Overwrite question, a lost port.
#   xvfb-transfer.sh BUILD_DIR
. "$(dirname "$0")/xvfb-lib.sh"
start_xvfb 1024x768x24
start_sim --paced --firmware-out "$tmp/received.bin"
# The program in a folder of its own, without an image at first. The image: one sector of
# random bytes with the link's words in it, which would show in the unit's log if a byte of it
# were taken as a command.
mkdir -p "$tmp/program" "$tmp/elsewhere"
cp "$build/app/meridan-converter" "$build/app/sat.ico" "$tmp/program/"
head -c 65536 /dev/urandom >"$tmp/image.bin"
for at in 1000 20000 40000 60000; do
    printf 'TSOKUPEN\050\000\000' | dd of="$tmp/image.bin" bs=1 seek=$at conv=notrunc 2>/dev/null
done
start_program "$tmp/program/meridan-converter"
keys_to "$main_name" alt+m f

# The box or dialog named $1 opens, and key $2 closes it.
closes() {
    within 300 shown "$1" || fail "no window $1"
    keys_to "$1" "$2"
    within 150 gone "$1" || fail "$2 did not close $1"
}
requests_at_least() { [ "$(requests)" -ge "$1" ]; }
stray() { grep -E '^(frame|violation)' "$tmp/sim.log" || true; }
# A transfer started with F1 (the module check's request, then one attempt); the keys $2
# meanwhile open nothing.
transfer() {
    before=$(requests)
    rm -f "$tmp/received.bin"
    keys_to "$main_name" F1
    within 300 requests_at_least $((before + 2)) || fail "F1 did not start the update ($1)"
    sleep 3 # a sector on its way
    for key in $2; do
        keys_to "$main_name" "$key"
        sleep 2
        gone '^(Expert Password|Add Bin-File)$' || fail "$key opened a dialog during the transfer ($1)"
    done
    within 600 test -s "$tmp/received.bin" || fail "the module did not receive the image ($1)"
    cmp -s "$tmp/image.bin" "$tmp/received.bin" || fail "the module received another image ($1)"
    [ "$(requests)" -eq $((before + 2)) ] || fail "the update needed a restart ($1)"
    [ -z "$(stray)" ] || fail "bytes outside the update ($1): $(stray | head -n 3)"
    sleep 6 # the success word, then Ready
}

# No image: the box says so, twice: F1 works once it is closed.
for n in 1 2; do
    keys_to "$main_name" F1
    closes '^Update Error$' Return
done
cp "$tmp/image.bin" "$tmp/program/VELNO_S0001_test.bin"
transfer "not expert" "F2 alt+e"

# The password; Add File, cancelled; then a transfer in expert mode.
keys_to "$main_name" F2
within 150 shown '^Expert Password$' || fail "F2 did not open the password dialog"
keys_to '^Expert Password$' 4 1 9 8 6 Return
within 150 gone '^Expert Password$' || fail "the password did not close the dialog"
keys_to "$main_name" alt+a
closes '^Add Bin-File$' Escape
transfer "expert" "alt+a F2"

# Add File of an image by the same name: the Overwrite question, answered Cancel.
cp "$tmp/image.bin" "$tmp/elsewhere/VELNO_S0001_test.bin"
keys_to "$main_name" alt+a
within 150 shown '^Add Bin-File$' || fail "Alt+A did not open the Add File dialog"
keys_to '^Add Bin-File$' ctrl+a
xdotool type --delay 20 "$tmp/elsewhere/VELNO_S0001_test.bin"
xdotool key Return
closes '^Meridan Converter$' Escape

# F1; the unit's line goes away during the check: "Com Port lost". F1 then: no port.
before=$(requests)
keys_to "$main_name" F1
within 300 requests_at_least $((before + 1)) || fail "F1 after the Overwrite question did nothing"
kill "$sim"
wait "$sim" 2>/dev/null || true
sim=""
closes '^ComPortError$' Return
keys_to "$main_name" F1
closes '^ComPortError$' Return
escape_ends_program
