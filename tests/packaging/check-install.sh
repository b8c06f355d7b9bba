#!/usr/bin/env bash
# Checks that installing the build tree, and the Debian package built from it, put every file
# where the desktop, udev and polkit look for it, and that the package declares what the agent
# needs. Works in a scratch folder only: nothing is installed into the system.
#
#   check-install.sh BUILD_DIR
#
# The agent must be built first. Exit status 77 means a tool the check needs is missing
# (scripts/setup.sh installs them all).
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build_dir=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

for tool in cpack dpkg-deb dpkg-shlibdeps desktop-file-validate duk file; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed" >&2
        exit 77
    fi
done
if [ ! -x "$build_dir/talverin-timestamp" ]; then
    echo "FAIL: $build_dir/talverin-timestamp is not built" >&2
    exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# The group that the udev rule, the polkit rule and the installer must agree on.
serial_group=talverin-serial

binary=usr/bin/talverin-timestamp
desktop_entry=usr/share/applications/com.talverin.Timestamp.desktop
icon_theme=usr/share/icons/hicolor
udev_rule=usr/lib/udev/rules.d/70-talverin-timestamp-serial.rules
polkit_rule=usr/share/polkit-1/rules.d/70-talverin-timestamp-serial.rules
png_sizes=(48 64 128 256)

expected_files() {
    echo "$binary"
    echo "$desktop_entry"
    for size in "${png_sizes[@]}"; do
        echo "$icon_theme/${size}x${size}/apps/com.talverin.Timestamp.png"
    done
    echo "$icon_theme/scalable/apps/com.talverin.Timestamp.svg"
    echo "$udev_rule"
    echo "$polkit_rule"
}

# Everything the desktop, udev and polkit need, and nothing else (a test tool or the demo
# service must never end up in the package).
check_tree() {
    local root=$1 label=$2

    local missing unexpected
    missing=$(comm -23 <(expected_files | sort) <(cd "$root" && find . ! -type d | sed 's|^\./||' | sort))
    unexpected=$(comm -13 <(expected_files | sort) <(cd "$root" && find . ! -type d | sed 's|^\./||' | sort))
    [ -z "$missing" ] || fail "$label: missing: $(echo "$missing" | tr '\n' ' ')"
    [ -z "$unexpected" ] || fail "$label: not expected: $(echo "$unexpected" | tr '\n' ' ')"

    if [ -f "$root/$binary" ]; then
        file -b "$root/$binary" | grep -q '^ELF .* executable\|^ELF .*pie executable' ||
            fail "$label: $binary is not an executable: $(file -b "$root/$binary")"
        [ -x "$root/$binary" ] || fail "$label: $binary is not executable"
    fi

    if [ -f "$root/$desktop_entry" ]; then
        desktop-file-validate "$root/$desktop_entry" ||
            fail "$label: desktop-file-validate rejects $desktop_entry"
        # The entry must start the binary this package installs and name the icons it installs.
        local exec icon
        exec=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$root/$desktop_entry")
        icon=$(sed -n 's/^Icon=//p' "$root/$desktop_entry")
        [ "$exec" = "$(basename "$binary")" ] || [ "$exec" = "/$binary" ] ||
            fail "$label: Exec=$exec does not start /$binary"
        [ "$icon" = com.talverin.Timestamp ] ||
            fail "$label: Icon=$icon is not the installed icon name com.talverin.Timestamp"
        ! grep -q '^NoDisplay=true' "$root/$desktop_entry" ||
            fail "$label: NoDisplay=true hides the only way to start the agent after installing it"
    fi

    # Icon themes trust the folder name: a picture of another size is scaled or skipped.
    local size png
    for size in "${png_sizes[@]}"; do
        png="$root/$icon_theme/${size}x${size}/apps/com.talverin.Timestamp.png"
        [ -f "$png" ] || continue
        file -b "$png" | grep -q "^PNG image data, $size x $size," ||
            fail "$label: ${size}x${size} icon is $(file -b "$png")"
    done
    local svg="$root/$icon_theme/scalable/apps/com.talverin.Timestamp.svg"
    if [ -f "$svg" ]; then
        file -b "$svg" | grep -q '^SVG' || fail "$label: scalable icon is $(file -b "$svg")"
    fi

    if [ -f "$root/$udev_rule" ]; then
        grep -Eq "RUN\+=\"/bin/chgrp $serial_group [^\"]*/product_serial\"" "$root/$udev_rule" ||
            fail "$label: the udev rule does not give product_serial to the group $serial_group"
    fi

    if [ -f "$root/$polkit_rule" ]; then
        # polkitd runs rules in this engine; a syntax it lacks silently disables the rule.
        duk "$here/polkit-rule-cases.js" "$root/$polkit_rule" -e "checkSerialRule(\"$serial_group\")" ||
            fail "$label: the polkit rule decides wrongly (output above)"
        # When this machine has hostnamed's policy, the action must be one it declares.
        local hostnamed_policy=/usr/share/polkit-1/actions/org.freedesktop.hostname1.policy
        if [ -f "$hostnamed_policy" ]; then
            grep -q 'action id="org.freedesktop.hostname1.get-hardware-serial"' "$hostnamed_policy" ||
                fail "$hostnamed_policy declares no get-hardware-serial action"
        fi
    fi
}

echo "== cmake --install into a scratch DESTDIR"
DESTDIR="$scratch/destdir" cmake --install "$build_dir" --prefix /usr >"$scratch/install.log" 2>&1 || {
    cat "$scratch/install.log" >&2
    fail "cmake --install failed"
}
check_tree "$scratch/destdir" "cmake --install"

echo "== cpack -G DEB into a scratch folder"
(cd "$scratch" && cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$scratch/package") \
    >"$scratch/cpack.log" 2>&1 || {
    cat "$scratch/cpack.log" >&2
    echo "FAIL: cpack failed" >&2
    exit 1
}
shopt -s nullglob
debs=("$scratch"/package/*.deb)
shopt -u nullglob
if [ ${#debs[@]} -ne 1 ]; then
    echo "FAIL: expected one .deb, found: ${debs[*]:-none}" >&2
    exit 1
fi
deb=${debs[0]}
echo "built $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
has_package() { # FIELD_VALUE PACKAGE: PACKAGE appears as a relation, with or without a version
    echo "$1" | sed 's/[,|]/\n/g' | sed 's/^ *//; s/ .*//' | grep -qx "$2"
}

[ "$(field Package)" = talverin-timestamp ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "${TALVERIN_PACKAGE_VERSION:?set by the test registration}" ] ||
    fail "Version is '$(field Version)', expected $TALVERIN_PACKAGE_VERSION"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
    fail "Architecture is '$(field Architecture)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Section)" ] || fail "no Section"
[ "$(field Description | wc -l)" -ge 2 ] || fail "Description has no long description"

depends=$(field Depends)
echo "Depends: $depends"
for package in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6dbus6 libsqlite3-0 \
    libc6 libstdc++6 passwd; do
    has_package "$depends" "$package" || fail "Depends lacks $package"
done
recommends=$(field Recommends)
for package in ca-certificates polkitd hicolor-icon-theme; do
    has_package "$recommends" "$package" || fail "Recommends lacks $package"
done

# dpkg-deb -c: "MODE OWNER/GROUP SIZE DATE TIME ./PATH"
while read -r mode owner _ _ _ path; do
    path=${path#./}
    [ "$owner" = root/root ] || fail "$path is owned by $owner"
    case "$mode:$path" in
    d*) [ "$mode" = drwxr-xr-x ] || fail "directory $path has mode $mode" ;;
    *:"$binary") [ "$mode" = -rwxr-xr-x ] || fail "$path has mode $mode" ;;
    *) [ "$mode" = -rw-r--r-- ] || fail "$path has mode $mode" ;;
    esac
done < <(dpkg-deb -c "$deb")

mkdir "$scratch/root" "$scratch/control"
dpkg-deb -x "$deb" "$scratch/root"
check_tree "$scratch/root" "dpkg-deb -x"
if [ -f "$scratch/root/$binary" ] && file -b "$scratch/root/$binary" | grep -q 'not stripped'; then
    fail "the packaged binary is not stripped"
fi

dpkg-deb -e "$deb" "$scratch/control"
for script in postinst postrm; do
    if [ ! -f "$scratch/control/$script" ]; then
        fail "the package has no $script"
        continue
    fi
    [ "$(stat -c %a "$scratch/control/$script")" = 755 ] || fail "$script is not executable"
    sh -n "$scratch/control/$script" || fail "$script is not valid sh"
done
if [ -f "$scratch/control/postinst" ]; then
    grep -q "^serial_group=$serial_group\$" "$scratch/control/postinst" ||
        fail "postinst does not create the group $serial_group"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all packaging checks passed"
