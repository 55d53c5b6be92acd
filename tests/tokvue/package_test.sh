#!/bin/sh
# Builds the Debian package, checks it with lintian and its layout with dpkg-deb, unpacks it into
# a scratch root and runs both programs from there. Then installs it into this system with dpkg,
# has systemd-analyze verify the units, enables the timers and removes and purges the package:
# the maintainer scripts must disable what was enabled and forget it on purge, and leave the
# system user. That part needs root and a system without the package; otherwise the test is
# skipped (status 77) after the first part.
# Usage: package_test.sh BINARY_DIR
set -u
bin=$1
fail() { echo "FAIL: $*"; exit 1; }

cmake --build "$bin" --target package -j2 >"$bin/package_test.log" 2>&1 \
    || { tail -40 "$bin/package_test.log"; fail "building the package"; }
deb=$(ls -t "$bin"/trevane_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] && [ -f "$deb" ] || fail "no trevane_*.deb in $bin"
echo "package: $deb"

# lintian: no error; what it warns about is printed.
lintian "$deb" >"$bin/lintian.log" 2>&1
cat "$bin/lintian.log"
! grep -q '^E:' "$bin/lintian.log" || fail "lintian reports errors"

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libecpg6 libecpg-compat3 libpgtypes3 adduser; do
    echo "$depends" | grep -q "\\b$lib\\b" || fail "Depends lacks $lib: $depends"
done
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no Maintainer"
[ -n "$(dpkg-deb -f "$deb" Description)" ] || fail "no Description"
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/trevane/apps_defaults ] || fail "conffiles"

root=$(mktemp -d "${TMPDIR:-/tmp}/trevane-pkg.XXXXXX") || fail "mktemp"
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root" || fail "dpkg -x"
for f in usr/bin/trevane usr/bin/tokvue; do
    [ -f "$root/$f" ] && [ -x "$root/$f" ] || fail "$f missing or not executable"
done
for f in usr/share/man/man8/trevane.8.gz usr/share/man/man1/tokvue.1.gz \
         usr/share/doc/trevane/changelog.Debian.gz; do
    gzip -t "$root/$f" 2>/dev/null || fail "$f missing or not gzipped"
done
for f in usr/lib/systemd/system/trevane.service usr/lib/systemd/system/trevane.timer \
         usr/lib/systemd/system/trevane@.service usr/lib/systemd/system/trevane@.timer \
         etc/trevane/apps_defaults usr/share/doc/trevane/copyright \
         usr/share/doc/trevane/examples/trevane.cron \
         usr/share/doc/trevane/examples/trevane_role.sql \
         usr/share/doc/trevane/examples/trevane.rules.yml; do
    [ -s "$root/$f" ] || fail "$f missing"
done
# The service starts the packaged program with the packaged token file.
unit=$root/usr/lib/systemd/system/trevane.service
grep -qx 'ExecStart=/usr/bin/trevane' "$unit" || fail "ExecStart of trevane.service"
grep -qx 'Environment=APPS_DEFAULTS=/etc/trevane/apps_defaults' "$unit" || fail "APPS_DEFAULTS"
# An instance of the template reads the token file of its own name.
grep -qx 'Environment=APPS_DEFAULTS=/etc/trevane/%i/apps_defaults' \
    "$root/usr/lib/systemd/system/trevane@.service" || fail "APPS_DEFAULTS of trevane@.service"

# tokvue from the unpacked tree, with a token from the environment and none from any file.
out=$(env -i PATH=/usr/bin:/bin db_name=hd_from_env "$root/usr/bin/tokvue" db_name)
[ $? -eq 0 ] || fail "tokvue exit status"
[ "$out" = "hd_from_env" ] || fail "tokvue printed '$out'"
out=$(env -i PATH=/usr/bin:/bin "$root/usr/bin/tokvue" db_name)
[ $? -eq 0 ] && [ -z "$out" ] || fail "tokvue without the token printed '$out'"

# trevane with db_name defined nowhere: its banner, then it stops with status 1.
out=$(env -i PATH=/usr/bin:/bin "$root/usr/bin/trevane" 2>&1)
rc=$?
printf '%s\n' "$out"
[ $rc -eq 1 ] || fail "trevane exit status $rc, expected 1"
[ "$(printf '%s\n' "$out" | head -1)" = "ZEFT Database Purge  VORNE OB6  Mar 31, 2005" ] \
    || fail "trevane banner"
printf '%s\n' "$out" | grep -qx 'database name = ' || fail "trevane database name line"
echo "ok: the unpacked package"

# --- Installed into this system.
[ "$(id -u)" -eq 0 ] || { echo "SKIP: installing the package needs root"; exit 77; }
if dpkg-query -W -f '${db:Status-Status}' trevane 2>/dev/null | grep -qv '^not-installed$'; then
    echo "SKIP: trevane is installed on this system; the test does not touch it"
    exit 77
fi
user_before=$(getent passwd trevane)
wants=/etc/systemd/system/timers.target.wants
state=/var/lib/systemd/deb-systemd-helper-enabled
# Whatever happens, the system is left as it was found.
cleanup() {
    dpkg -P trevane >/dev/null 2>&1
    [ -n "$user_before" ] || ! getent passwd trevane >/dev/null || deluser --system trevane >/dev/null 2>&1
    rm -rf "$root"
}
trap cleanup EXIT

# dpkg ARGS...: succeeds, and neither dpkg nor a maintainer script has a word of complaint.
run_dpkg() {
    dpkg "$@" >"$bin/dpkg.log" 2>&1 || { cat "$bin/dpkg.log"; fail "dpkg $*"; }
    ! grep -Eqi 'warning|error|fail' "$bin/dpkg.log" || { cat "$bin/dpkg.log"; fail "dpkg $*"; }
}

run_dpkg -i "$deb"
getent passwd trevane >/dev/null || fail "no user trevane after installing"
[ -f "$state/trevane.timer.dsh-also" ] || fail "postinst did not record trevane.timer"

# The units as systemd reads them, an instance of the template included: not a single remark.
out=$(systemd-analyze verify trevane.service trevane.timer trevane@main.service \
      trevane@main.timer 2>&1) || fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify remarks: $out"

# An administrator enables the nightly timer and one instance (no systemd needs to run).
systemctl enable trevane.timer trevane@main.timer >/dev/null 2>&1 || fail "systemctl enable"
[ -L "$wants/trevane.timer" ] && [ -L "$wants/trevane@main.timer" ] || fail "timers not enabled"

run_dpkg -r trevane
for link in "$wants/trevane.timer" "$wants/trevane@main.timer"; do
    [ ! -e "$link" ] && [ ! -L "$link" ] || fail "$link left after dpkg -r"
done
[ -f /etc/trevane/apps_defaults ] || fail "dpkg -r removed the token file"
[ -f "$state/trevane.timer.dsh-also" ] || fail "dpkg -r forgot the units' state"

run_dpkg -P trevane
left=$(ls -d "$state"/trevane* /var/lib/systemd/deb-systemd-helper-masked/trevane* \
       /etc/systemd/system/trevane* /etc/trevane 2>/dev/null)
[ -z "$left" ] || fail "left after dpkg -P: $left"
getent passwd trevane >/dev/null || fail "dpkg -P removed the user trevane"
echo "ok: installed, verified, enabled, removed and purged"
