# What the Xvfb tests share, sourced with the build folder as $1: a display of its own, the
# simulated headend on a pseudo-terminal with Com1 pointed at it, the real program, and keys
# that wait until the window they are meant for has the keyboard. Exits 77 (skipped) when
# Xvfb or xdotool is missing.
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
    command -v import >/dev/null 2>&1 && import -window root "$build/$(basename "$0" .sh)-failure.png" || true
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
# Xvfb takes a free display number and writes it to descriptor 3 once it is up, so parallel
# runs and other users of the machine do not collide.
start_xvfb() {
    Xvfb -displayfd 3 -screen 0 "$1" -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
    xvfb=$!
    within 100 grep -q '^[0-9][0-9]*$' "$tmp/display" || fail "Xvfb did not start"
    DISPLAY=:$(cat "$tmp/display")
    export DISPLAY
}
start_sim() {
    "$build/sim/meridan-headend-sim" --verbose "$@" >"$tmp/sim.out" 2>"$tmp/sim.log" &
    sim=$!
    within 50 grep -q . "$tmp/sim.out" || fail "the simulated headend did not start"
    # The other ports lead nowhere: the start-up probe leaves the machine's devices alone (a
    # device another program holds would stop the start with its message).
    mkdir -p "$tmp/config/Meridan"
    {
        printf '[Ports]\nCom1=%s\n' "$(head -n 1 "$tmp/sim.out")"
        for n in 2 3 4 5 6 7 8 9 10 11 12 13 14 15; do printf 'Com%s=%s/none%s\n' $n "$tmp" $n; done
        printf '\n[Settings]\nCOM-Port=1\n'
    } >"$tmp/config/Meridan/Meridan Converter.conf"
}
main_name='^Meridan Converter V'
shown() { xdotool search --onlyvisible --name "$1"; }
gone() { ! shown "$1"; }
# The program at $1; its main window gets the keyboard, as a window manager would give it. Its
# backups go to $tmp/data/meridan/backups.
start_program() {
    # In the sanitizer build: the desktop bus library keeps a buffer of its own to the end.
    echo "leak:libdbus-1.so" >"$tmp/leaks.supp"
    (cd "$tmp" && XDG_CONFIG_HOME="$tmp/config" XDG_DATA_HOME="$tmp/data" QT_QPA_PLATFORM=xcb \
        LSAN_OPTIONS="suppressions=$tmp/leaks.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" \
        exec "$1") >"$tmp/program.log" 2>&1 &
    program=$!
    within 300 shown "$main_name" || fail "the main window did not open"
    main=$(shown "$main_name" | head -n 1)
    xdotool windowfocus --sync "$main"
}
alive() { kill -0 "$program" 2>/dev/null; }
# The window that has the keyboard is named as the pattern says.
focus_is() { xdotool getwindowfocus getwindowname | grep -Eq "$1"; }
# Presses keys once the window named by $1 has the keyboard.
keys_to() {
    pattern=$1
    shift
    within 300 focus_is "$pattern" || fail "the window $pattern did not get the keyboard for $*"
    xdotool key "$@"
}
requests() { grep -c '^firmware update request' "$tmp/sim.log" || true; }
# Esc ends the program once the update window is the active child (until then it reaches
# the overview, which ignores it); the program ends with status 0.
escape_ends_program() {
    tries=0
    while alive; do
        tries=$((tries + 1))
        [ "$tries" -le 30 ] || fail "Esc in the update window did not end the program"
        if focus_is "$main_name"; then xdotool key Escape; fi
        within 10 sh -c "! kill -0 $program" || true
    done
    status=0
    wait "$program" || status=$?
    program=""
    [ "$status" -eq 0 ] || { cat "$tmp/program.log" >&2; fail "the program ended with status $status"; }
    echo "PASS"
}
