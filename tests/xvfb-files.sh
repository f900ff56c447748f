#!/bin/sh
# The File menu of the real program on a 1366 x 768 Xvfb screen, against meridan-headend-sim
# at the real line rate, its converter 7 ignoring what it is sent, driven with xdotool as a
# person would: Open Plan, Save (Ctrl+S) with its backup and read-back, Save Report with the
# verification line, Restore Backup and Save again, a second report. With SCREENSHOTS=DIR the
# screen is kept at each step.
#   xvfb-files.sh BUILD_DIR
. "$(dirname "$0")/xvfb-lib.sh"
if ! command -v pdftotext >/dev/null 2>&1; then
    echo "SKIP: pdftotext is not installed"
    exit 77
fi
start_xvfb 1366x768x24
start_sim --paced --state "$tmp/unit.json" --frozen-converter 7
# The plan and report dialogs open in $tmp.
printf '\n[Files]\nPlanFolder=%s\nReportFolder=%s\n' "$tmp" "$tmp" \
    >>"$tmp/config/Meridan/Meridan Converter.conf"
# The demo unit with converter 2 at 1250 MHz and converter 7 at 1300 MHz.
{
    printf '{"format": 1, "channels": ['
    sep=""
    for c in "1 1 1010 0" "1 2 1250 1" "1 3 1097 0" "1 4 1141 1" "1 1 1185 0" "1 2 1229 1" \
        "1 3 1300 0" "1 4 1406 1" "1 1 1450 0" "1 2 1494 1" "0 3 1538 0" "0 4 1582 1"; do
        set -- $c
        printf '%s{"carrier": %s, "sat": %s, "input_mhz": %s, "gain": %s}' "$sep" "$1" "$2" "$3" "$4"
        sep=", "
    done
    printf ']}\n'
} >"$tmp/plan.json"
start_program "$build/app/meridan-converter"

# The unit has received $1 command frames (a read is 89, a write 74).
frames_at_least() { [ "$(grep -c '^frame' "$tmp/sim.log" || true)" -ge "$1" ]; }
snap() { [ -z "${SCREENSHOTS:-}" ] || import -window root "$SCREENSHOTS/$1.png"; }
stored() { grep -q "\"in_freq\": $1" "$tmp/unit.json" 2>/dev/null; }
# A dialog named $1 other than window $2 is up and has the keyboard; its id.
dialog_up() {
    within 300 sh -c "xdotool search --onlyvisible --name '$1' | grep -vx '${2:-none}'" ||
        fail "no window $1"
    id=$(xdotool search --onlyvisible --name "$1" | grep -vx "${2:-none}" | head -n 1)
    within 300 focus_is "$1" || fail "$1 did not get the keyboard"
}
# Save Report: the installer's details, then the file $1.
report() {
    keys_to "$main_name" alt+f r r Return
    dialog_up '^Save Report$'
    details=$id
    xdotool type --delay 20 "A. Installer"
    xdotool key Tab
    xdotool type --delay 20 "Roof, building 3"
    xdotool key Tab Tab Return
    dialog_up '^Save Report$' "$details"
    xdotool type --delay 40 "$1"
    xdotool key Return
    within 300 test -s "$tmp/$1" || fail "Save Report wrote no $1"
    pdftotext -layout "$tmp/$1" "$tmp/$1.txt"
    grep -q 10423 "$tmp/$1.txt" || fail "$1 has no serial number"
    grep -q "A. Installer" "$tmp/$1.txt" || fail "$1 has no installer"
    ! grep -q "A. InstallerA" "$tmp/$1.txt" || fail "$1: the remembered installer was typed into"
}

# The overview reads the unit; the plan is opened as edits: nothing is sent.
keys_to "$main_name" alt+m p
within 300 frames_at_least 89 || fail "the overview did not read the unit"
sleep 1 # the pause after the end command: the File menu waits for the read to end
keys_to "$main_name" alt+f o
dialog_up '^Open Plan$'
xdotool type --delay 40 plan.json
xdotool key Return
sleep 1
snap 1-plan-opened
frames_at_least 90 && fail "Open Plan sent something"

# Save: the backup read, the write, the read-back; converter 7 keeps its 1362 MHz.
keys_to "$main_name" ctrl+s
within 300 sh -c "ls '$tmp/data/meridan/backups/' | grep -q '^MC_1200-10423-.*\.json$'" ||
    fail "Save kept no backup"
within 300 stored 1250 || fail "Save did not store the plan"
within 300 frames_at_least $((89 + 89 + 74 + 89)) || fail "Save did not read the unit back"
sleep 1
snap 2-saved
report report1.pdf
grep -q "Converter 7: input 1362 MHz on unit, 1300 MHz sent" "$tmp/report1.pdf.txt" ||
    fail "the report does not name the field the unit did not take"
for mhz in 1010 1250 1097 1141 1185 1229 1362 1406 1450 1494 1538 1582; do
    grep -q " $mhz " "$tmp/report1.pdf.txt" || fail "the report has no input of $mhz MHz"
done

# Restore Backup: the list, the question about the fields not taken, then Save.
keys_to "$main_name" alt+f r Return
dialog_up '^Restore Backup$'
xdotool key Return
dialog_up '^Meridan Converter$'
xdotool key Return
sleep 1
snap 3-backup-opened
keys_to "$main_name" ctrl+s
within 300 frames_at_least $((341 + 89 + 89 + 74 + 89)) || fail "the second Save did not end"
stored 1054 || fail "the backup did not restore converter 2"
sleep 1
snap 4-restored
report report2.pdf
grep -q "Saved and verified" "$tmp/report2.pdf.txt" || fail "the second report is not verified"
[ -z "${SCREENSHOTS:-}" ] || cp "$tmp/report1.pdf" "$tmp/report2.pdf" "$SCREENSHOTS/"

# The update window's Esc ends the program.
keys_to "$main_name" alt+m f
escape_ends_program
