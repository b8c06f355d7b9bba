#!/usr/bin/env bash
# Builds the Debian package (from the install rules) into a scratch folder, nothing going into the
# system, then checks that every file lands where the desktop, udev and polkit look for it,
# that nothing else is shipped, and that the package is sound.   check-install.sh BUILD_DIR
set -euo pipefail
build_dir=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

group=talverin-serial
icons=usr/share/icons/hicolor
expected="usr/bin/talverin-timestamp
usr/share/applications/com.talverin.Timestamp.desktop
$(for size in 48 64 128 256; do echo "$icons/${size}x${size}/apps/com.talverin.Timestamp.png"; done)
$icons/scalable/apps/com.talverin.Timestamp.svg
usr/lib/udev/rules.d/70-talverin-timestamp-serial.rules
usr/share/polkit-1/rules.d/70-talverin-timestamp-serial.rules"

(cd "$scratch" && cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$scratch/package") \
    >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log" >&2; exit 1; }
deb=$(echo "$scratch"/package/*.deb)
root="$scratch/root"
dpkg-deb -x "$deb" "$root"
# Every expected file and nothing else (never a test tool).
found=$(cd "$root" && find . ! -type d | sed 's|^\./||' | grep -v '^usr/share/\(doc\|man\|lintian\)/' | sort)
[ "$found" = "$(sort <<<"$expected")" ] || fail "files differ: $(diff <(sort <<<"$expected") - <<<"$found" | grep '^[<>]' | tr '\n' ' ')"
desktop-file-validate "$root/usr/share/applications/com.talverin.Timestamp.desktop" ||
    fail "desktop entry rejected"
for size in 48 64 128 256; do # themes trust the folder name
    file -b "$root/$icons/${size}x${size}/apps/com.talverin.Timestamp.png" |
        grep -q "^PNG image data, $size x $size," || fail "the ${size}px icon"
done
grep -Eq "RUN\+=\"/bin/chgrp $group [^\"]*/product_serial\"" \
    "$root/usr/lib/udev/rules.d/70-talverin-timestamp-serial.rules" || fail "udev rule"
duk "$here/polkit-rule-cases.js" "$root/usr/share/polkit-1/rules.d/70-talverin-timestamp-serial.rules" \
    -e "check(\"$group\")" || fail "the polkit rule decides wrongly"
relations="$(dpkg-deb -f "$deb" Depends), $(dpkg-deb -f "$deb" Recommends)"
for package in libqt6widgets6 libqt6network6 libqt6dbus6 libsqlite3-0 passwd ca-certificates polkitd; do
    grep -Eq "(^|, )$package( |,|$)" <<<"$relations" || fail "the package does not name $package"
done
dpkg-deb -e "$deb" "$scratch/control"
grep -q "^serial_group=$group\$" "$scratch/control/postinst" || fail "postinst makes no $group group"
for script in postinst postrm; do sh -n "$scratch/control/$script" || fail "$script is not sh"; done
# Lintian knows the rest of what a sound package is: modes, owners, stripping, documentation.
lintian --fail-on error,warning "$deb" || fail "lintian"
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all packaging checks passed"
