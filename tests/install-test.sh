#!/bin/sh
# Installs the build into a temporary prefix (or unpacks its Debian package there) and runs the
# installed command-line tool against the installed simulator.
#   install-test.sh install BUILD_DIR
#   install-test.sh package BUILD_DIR
set -eu
mode=$1
build=$2
tmp=$(mktemp -d)
sim=""
cleanup() { [ -n "$sim" ] && kill "$sim" 2>/dev/null; rm -rf "$tmp"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "$mode" = install ]; then
    cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" || fail "cmake --install"
    root="$tmp/prefix"
    prefix="$root"
else
    (cd "$build" && cpack -G DEB -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; fail "cpack"; }
    deb=$(ls "$tmp"/pkg/*.deb)
    dpkg-deb -I "$deb" >"$tmp/info"
    for dep in libqt6core6 libqt6widgets6 libqt6serialport6 qt6-qpa-plugins fonts-liberation; do
        grep "^ Depends:" "$tmp/info" | grep -q "$dep" || fail "package does not depend on $dep"
    done
    dpkg-deb -x "$deb" "$tmp/root"
    root="$tmp/root/usr"
    prefix=/usr
fi

for f in bin/meridan-cli bin/meridan-headend-sim bin/meridan-converter \
         lib/meridan-converter/meridan-converter lib/meridan-converter/sat.ico \
         share/applications/meridan-converter.desktop \
         share/icons/hicolor/48x48/apps/meridan-converter.png \
         share/doc/meridan-converter/README.md; do
    [ -e "$root/$f" ] || fail "$f is not installed"
done
[ -L "$root/bin/meridan-converter" ] || fail "bin/meridan-converter is not a link"
grep -qx "Path=$prefix/lib/meridan-converter" "$root/share/applications/meridan-converter.desktop" \
    || fail "desktop entry does not start the program in its folder"
grep -qx "Exec=meridan-converter" "$root/share/applications/meridan-converter.desktop" || fail "Exec"

"$root/bin/meridan-cli" --help | grep -q "Exit codes" || fail "installed meridan-cli --help"
# The background job opens its output itself, maybe after the first look at it.
: >"$tmp/sim.out"
"$root/bin/meridan-headend-sim" >"$tmp/sim.out" 2>"$tmp/sim.err" &
sim=$!
tty=""
for _ in $(seq 50); do
    tty=$(head -n 1 "$tmp/sim.out")
    [ -n "$tty" ] && break
    sleep 0.1
done
[ -n "$tty" ] || fail "installed simulator did not start"
XDG_CONFIG_HOME="$tmp/config" "$root/bin/meridan-cli" --port "$tty" read >"$tmp/read.out" \
    || fail "installed meridan-cli read"
grep -q "MC 1200" "$tmp/read.out" || fail "read output"
echo "installed tools run ($mode)"
