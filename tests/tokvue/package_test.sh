#!/bin/sh
# Builds the Debian package, checks it with lintian and its layout with dpkg-deb, unpacks it into
# a scratch root and runs both programs from there.
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

root=$(mktemp -d /tmp/trevane-pkg.XXXXXX) || fail "mktemp"
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
         etc/trevane/apps_defaults usr/share/doc/trevane/copyright \
         usr/share/doc/trevane/examples/trevane.cron; do
    [ -s "$root/$f" ] || fail "$f missing"
done
# The service starts the packaged program with the packaged token file.
unit=$root/usr/lib/systemd/system/trevane.service
grep -qx 'ExecStart=/usr/bin/trevane' "$unit" || fail "ExecStart of trevane.service"
grep -qx 'Environment=APPS_DEFAULTS=/etc/trevane/apps_defaults' "$unit" || fail "APPS_DEFAULTS"

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
echo "ok"
