#!/bin/sh
# Builds the Debian package in a Release tree, unpacks it into a scratch root and checks it as a
# register would see it: the files, the conffile and its link, the installed program, the
# maintainer scripts (in a mount namespace whose /etc and /var are overlays, so the host's users
# and files stay untouched), lintian and the unit's systemd exposure.
#   deb.sh SOURCE_DIR RELEASE_DIR WORK_DIR [COMPILER_LAUNCHER]
set -eu
source_dir=$1 release=$2 work=$3 launcher=${4:-}

fail() { echo "package: $*" >&2; exit 1; }

if [ ! -f "$release/CMakeCache.txt" ]; then
    cmake -S "$source_dir" -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DVESK_BUILD_TESTS=OFF ${launcher:+-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} >/dev/null
fi
cmake --build "$release" --target package >/dev/null
deb=$(ls -t "$release"/vesk_*_amd64.deb | head -n 1)
version=$(dpkg-deb -f "$deb" Version)
rm -rf "$work" && mkdir -p "$work"
dpkg-deb -x "$deb" "$work/root" && dpkg-deb -e "$deb" "$work/control"
root=$work/root

for f in usr/lib/vesk/vesk-service usr/lib/vesk/libvesk_core.so.1 lib/systemd/system/vesk.service \
    usr/share/man/man1/vesk-service.1.gz usr/share/doc/vesk/copyright etc/vesk/config.ini \
    usr/bin/vesk-status usr/share/man/man1/vesk-status.1.gz usr/lib/vesk/vesk-sshgate \
    usr/share/man/man1/vesk-sshgate.1.gz usr/bin/vesk-manage usr/share/man/man1/vesk-manage.1.gz; do
    [ -e "$root/$f" ] || fail "$f is missing"
done
for f in usr/include usr/lib/vesk/libvesk_core.so; do
    [ ! -e "$root/$f" ] || fail "development file $f is packaged"
done
[ "$(readlink "$root/usr/bin/vesk-service")" = ../lib/vesk/vesk-service ] || fail "bad /usr/bin link"
[ "$(readlink "$root/usr/lib/vesk/config.ini")" = /etc/vesk/config.ini ] || fail "bad config link"
[ "$(cat "$work/control/conffiles")" = /etc/vesk/config.ini ] || fail "bad conffiles"
for d in adduser libqt6core6 libavcodec; do
    dpkg-deb -f "$deb" Depends | grep -q "$d" || fail "Depends lacks $d"
done
[ "$("$root/usr/bin/vesk-service" --version)" = "vesk-service $version" ] || fail "bad --version"
[ "$("$root/usr/bin/vesk-status" --version)" = "vesk-status $version" ] || fail "bad --version"
[ "$("$root/usr/bin/vesk-manage" --version)" = "vesk-manage $version" ] || fail "bad --version"

# Each check of the script ends it with status 1 when it fails.
unshare --mount --propagation private sh -eu -c '
    work=$1 root=$2
    for d in etc lib/systemd/system var/lib var/log; do
        mkdir -p "$work/overlay/$d/upper" "$work/overlay/$d/work"
        lower=/$d
        [ ! -d "$root/$d" ] || lower=$root/$d:/$d
        mount -t overlay overlay \
            -o "lowerdir=$lower,upperdir=$work/overlay/$d/upper,workdir=$work/overlay/$d/work" /$d
    done
    # The package'"'"'s own configuration, read through the link beside the program.
    "$root/usr/bin/vesk-service" --check-config >"$work/check-config.txt"
    grep -qx "Logger/path=/tillhost/logs/current/morlen-vesk.log" "$work/check-config.txt"
    grep -qx "Logger/level=info" "$work/check-config.txt"

    export DPKG_MAINTSCRIPT_PACKAGE=vesk
    "$work/control/postinst" configure
    test -L /etc/systemd/system/multi-user.target.wants/vesk.service
    getent passwd vesk | grep -qx "vesk:x:[0-9]*:[0-9]*:[^:]*:/var/lib/morlen-vesk:/bin/sh"
    test "$(getent shadow vesk | cut -d: -f2)" = "*"
    test "$(stat -c %U:%a /var/lib/morlen-vesk)" = vesk:755
    test ! -e /var/log/vesk
    "$work/control/prerm" remove
    "$work/control/postrm" remove
    getent passwd vesk >/dev/null
    test -d /var/lib/morlen-vesk
    # Where earlier versions logged; a purge removes it, and says nothing on a machine without cron.
    install -d -o vesk -g vesk /var/log/vesk
    "$work/control/postrm" purge 2>"$work/purge-stderr.txt"
    test ! -s "$work/purge-stderr.txt"
    if getent passwd vesk || getent group vesk; then exit 1; fi
    test ! -e /etc/systemd/system/multi-user.target.wants/vesk.service
    test ! -e /var/lib/morlen-vesk
    test ! -e /var/log/vesk
' sh "$work" "$root" || fail "the configuration or the maintainer scripts misbehave (set -x to see)"

lintian --fail-on error "$deb" || fail "lintian reports errors"
systemd-analyze security --offline=yes --threshold=20 "$root/lib/systemd/system/vesk.service" \
    >"$work/exposure.txt" 2>"$work/exposure-warnings.txt" || fail "exposure above 2.0"
[ ! -s "$work/exposure-warnings.txt" ] || fail "$(cat "$work/exposure-warnings.txt")"
tail -n 1 "$work/exposure.txt"
