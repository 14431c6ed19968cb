#!/usr/bin/env bash
# Installs a build folder into a temporary root and checks it as a user would meet it: the files in
# their places, the menu entry and the AppStream description valid, the installed program keeping
# its files in the user's configuration folder (and a portable copy beside itself), and the Debian
# package built with its contents listed and clean under lintian. Runs as root (as CI does) or as
# any user; installs the tools it needs when they are missing.
#   Usage: scripts/check-install.sh BUILD_DIR
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
id=org.quorvel.Quorvel
"$(dirname "$0")/deps.sh" --package desktop-file-utils appstream passwd lintian

tmp=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-install.XXXXXX")
user=""
pid=""
cleanup() {
    if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null || true; fi
    if [ -n "$user" ]; then userdel "$user" 2>/dev/null || true; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
# The program is started as another user below: it must reach its files through this folder.
chmod 755 "$tmp"

fail() { echo "check-install: FAIL: $*" >&2; exit 1; }

echo "--- install into a temporary root"
DESTDIR="$tmp/root" cmake --install "$build" --prefix /usr >/dev/null
usr=$tmp/root/usr
for f in bin/Quorvel share/quorvel/help/index.html share/applications/$id.desktop \
         share/metainfo/$id.metainfo.xml share/icons/hicolor/scalable/apps/$id.svg \
         share/quorvel/examples/scripts/at_check.lua \
         share/man/man1/Quorvel.1.gz share/doc/quorvel/copyright share/doc/quorvel/changelog.gz; do
    [ -f "$usr/$f" ] || fail "not installed: $f"
done
# The command as people type it, and its manual page, lead to the program's own.
[ "$(readlink "$usr/bin/quorvel")" = Quorvel ] || fail "no link bin/quorvel -> Quorvel"
[ "$(readlink "$usr/share/man/man1/quorvel.1.gz")" = Quorvel.1.gz ] || fail "no link quorvel.1.gz -> Quorvel.1.gz"
gzip -t "$usr/share/man/man1/Quorvel.1.gz" || fail "the manual page is not gzipped"
for option in --help --run --port --log --timeout; do
    zcat "$usr/share/man/man1/Quorvel.1.gz" | grep -qF -- "\\-\\${option#-}" || fail "the manual page lacks $option"
done
# The dock groups the window under its menu entry by the window's class, the application's name.
grep -qx 'StartupWMClass=Quorvel' "$usr/share/applications/$id.desktop" || fail "the menu entry names no window class"
for size in 48 64 128; do
    png=$usr/share/icons/hicolor/${size}x$size/apps/$id.png
    file "$png" | grep -q "PNG image data, $size x $size," || fail "no $size px icon: $(file "$png")"
done
# The port-mapping helper is a tool of the build folder, not of the installed program.
[ ! -e "$usr/bin/quorvel-ports" ] || fail "quorvel-ports is installed"

echo "--- validate the menu entry and the AppStream description"
out=$(desktop-file-validate "$usr/share/applications/$id.desktop" 2>&1) || fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate: $out"
appstreamcli validate --no-net "$usr/share/metainfo/$id.metainfo.xml" ||
    fail "appstreamcli validate"

echo "--- start the installed program as an unprivileged user"
if [ "$(id -u)" -eq 0 ]; then
    user=quorvel-check-$$
    useradd --system --no-create-home --home-dir "$tmp/nohome" --shell /usr/sbin/nologin "$user" ||
        fail "cannot create the user $user"
    as_user=(setpriv --reuid="$(id -u "$user")" --regid="$(id -g "$user")" --clear-groups)
    owner=$user
else
    as_user=()
    owner=$(id -un)
fi
# Runs the program at $1 with the home folder $2 and extra environment "$@" until it waits for
# events, asks it to end as the session would, and waits for its orderly close.
run_once() {
    local exe=$1 home=$2; shift 2
    "${as_user[@]}" env -i PATH=/usr/bin:/bin HOME="$home" QT_QPA_PLATFORM=offscreen "$@" "$exe" \
        >"$tmp/run.log" 2>&1 &
    pid=$!
    # Until it catches SIGTERM (bit 15 of SigCgt) the signal would only kill it. Before the exec
    # the process is still a copy of this shell, which catches it too.
    local caught=0 real mask
    real=$(readlink -f "$exe")
    for _ in $(seq 300); do
        if [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$real" ]; then
            mask=$(awk '/^SigCgt:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
            if [ -n "$mask" ] && (( (16#$mask >> 14) & 1 )); then caught=1; break; fi
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    [ $caught -eq 1 ] || { cat "$tmp/run.log" >&2; fail "$exe did not start"; }
    # Still starting up is fine: the request waits for the window.
    kill -TERM "$pid"
    for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then fail "$exe did not close within 30 s"; fi
    local status=0
    wait "$pid" || status=$?
    pid=""
    [ $status -eq 0 ] || { cat "$tmp/run.log" >&2; fail "$exe ended with status $status"; }
}
new_home() { mkdir -p "$1"; chown "$owner" "$1"; }

# Installed: /usr/bin cannot be written, so the files go to ~/.config/Quorvel/. A settings file
# that lies beside the program and cannot be written is read; the user's copy takes it over. It
# maps COM1 to the loopback plug: a test never opens a device of the machine.
exe=$usr/bin/Quorvel
shared=$usr/bin/Quorvel.ini
printf '[PORTS]\r\nCOM1=loopback\r\n[INI]\r\nSPEED=4800\r\n' >"$shared"
chmod 444 "$shared"
chmod 555 "$usr/bin"
cp "$shared" "$tmp/shared.ini"
new_home "$tmp/home"
conf=$tmp/home/.config/Quorvel
run_once "$exe" "$tmp/home"
[ -f "$conf/Quorvel.ini" ] || fail "no settings file in $conf: $(ls -A "$tmp/home" "$conf" 2>&1)"
[ -f "$conf/SendCombo.dat" ] || fail "no send history in $conf"
grep -q '^SPEED=4800' "$conf/Quorvel.ini" || fail "the settings beside the program were not read"
grep -q '^COM1=loopback' "$conf/Quorvel.ini" || fail "the user's copy lost [PORTS]"
cmp -s "$shared" "$tmp/shared.ini" || fail "the file beside the program changed"
[ "$(LC_ALL=C ls -A "$usr/bin")" = "$(printf 'Quorvel\nQuorvel.ini\nquorvel')" ] || fail "files written beside the program"

# A second start, by the lower-case command, reads the user's copies back, and writes them again.
sed -i 's/^SPEED=4800/SPEED=19200/' "$conf/Quorvel.ini"
printf 'hello\r\n' >"$conf/SendCombo.dat"
run_once "$usr/bin/quorvel" "$tmp/home"
grep -q '^SPEED=19200' "$conf/Quorvel.ini" || fail "the second start did not read $conf/Quorvel.ini"
[ "$(cat "$conf/SendCombo.dat")" = $'hello\r' ] || fail "the second start lost the send history"

# Run as root (with sudo, as serial tools often are), the installed program's folder can be
# written, and still nothing goes there: its files go to root's configuration folder.
if [ "$(id -u)" -eq 0 ]; then
    chmod 755 "$usr/bin"
    saved_as_user=("${as_user[@]}")
    as_user=()
    mkdir -p "$tmp/roothome"
    run_once "$exe" "$tmp/roothome"
    as_user=("${saved_as_user[@]}")
    [ "$(LC_ALL=C ls -A "$usr/bin")" = "$(printf 'Quorvel\nQuorvel.ini\nquorvel')" ] ||
        fail "run as root, the installed program wrote beside itself: $(ls -A "$usr/bin")"
    [ -f "$tmp/roothome/.config/Quorvel/Quorvel.ini" ] || fail "run as root: no settings file in its home"
    chmod 555 "$usr/bin"
fi

# A portable copy in a folder its user can write keeps its files beside itself, whatever
# XDG_CONFIG_HOME says. Its port is a device that does not exist: the request to end comes while
# the failed-open message is up, and the close still writes the files.
portable=$tmp/portable
new_home "$portable"
cp "$exe" "$portable/Quorvel"
printf '[PORTS]\r\nCOM1=%s/no-such-tty\r\n' "$tmp" >"$portable/Quorvel.ini"
chown "$owner" "$portable/Quorvel.ini"
new_home "$tmp/home2"
run_once "$portable/Quorvel" "$tmp/home2" XDG_CONFIG_HOME="$tmp/home2/xdg"
grep -q '^SPEED=9600' "$portable/Quorvel.ini" || fail "no settings written beside the portable copy"
[ -f "$portable/SendCombo.dat" ] || fail "no send history beside the portable copy"
[ ! -e "$tmp/home2/xdg/Quorvel" ] || fail "the portable copy wrote to XDG_CONFIG_HOME"
chmod 755 "$usr/bin"
rm -f "$shared"

echo "--- build the Debian package"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log" >&2; fail "cpack"; }
deb=$(ls "$tmp"/pkg/quorvel_*.deb)
dpkg-deb -c "$deb" | tee "$tmp/contents"
for f in usr/bin/Quorvel usr/share/quorvel/help/index.html usr/share/applications/$id.desktop \
         usr/share/metainfo/$id.metainfo.xml usr/share/icons/hicolor/scalable/apps/$id.svg \
         usr/share/icons/hicolor/48x48/apps/$id.png usr/share/quorvel/examples/scripts/modbus_poll.lua \
         usr/share/man/man1/Quorvel.1.gz \
         usr/share/doc/quorvel/copyright usr/share/doc/quorvel/changelog.gz; do
    grep -q " \./$f\$" "$tmp/contents" || fail "not in the package: $f"
done
grep -q ' \./usr/bin/quorvel -> Quorvel$' "$tmp/contents" || fail "the link usr/bin/quorvel is not in the package"
! grep -q quorvel-ports "$tmp/contents" || fail "quorvel-ports is in the package"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[[ $depends == *libqt6widgets6* ]] || fail "the package does not depend on the Qt libraries it links"
[[ $depends == *liblua5.4-0* ]] || fail "the package does not depend on the Lua library the scripts need"
echo "--- lintian"
# No error and no warning. The informational tags that stay, each for its reason:
#   binary-has-unneeded-section: cpack strips the program as strip(1) does, which keeps the
#     compiler's version notes (.comment) that Debian's own build removes; a few hundred bytes.
#   package-contains-documentation-outside-usr-share-doc: the help document is the program's own
#     data, which its help viewer opens from share/quorvel/help (the menu, F1).
allowed='binary-has-unneeded-section|package-contains-documentation-outside-usr-share-doc'
status=0
lintian --display-info --tag-display-limit 0 --fail-on error,warning "$deb" >"$tmp/lintian.log" 2>&1 ||
    status=$?
grep -v 'running with root privileges' "$tmp/lintian.log" || true
[ $status -eq 0 ] || fail "lintian reports errors or warnings (status $status)"
unexpected=$(grep -E '^[A-Z]: ' "$tmp/lintian.log" | grep -Ev "^I: quorvel: ($allowed) " || true)
[ -z "$unexpected" ] || fail "lintian tags without a reason here: $unexpected"
echo "check-install: all passed ($(basename "$deb"))"
