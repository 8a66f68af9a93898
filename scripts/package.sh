#!/usr/bin/env bash
# Builds the Debian packages qk-relay and qk-relay-gui (the system layout: configuration in
# /etc/orvane, logs in /var/log/orvane, received files in /var/lib/orvane) into
# build/packages/ and prints lintian's verdict on them.
#
# dpkg-buildpackage writes beside the source tree and takes the version from
# debian/changelog, so the tree (without build/ and .git) is copied to
# build/packaging/qk-relay-<version>/ and the changelog written there, with the version of
# project() in CMakeLists.txt and the packaging's revision.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

"$top/scripts/setup.sh" debhelper dpkg-dev fakeroot lintian

version=$(sed -n 's/^project(qk_relay VERSION \([0-9][0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
if [ -z "$version" ]; then
    echo "package.sh: no version in project() of $top/CMakeLists.txt" >&2
    exit 1
fi
# The packaging's own revision, raised when what the package does changes while the programs'
# version stays: 1 runs the services under accounts of their own.
package_revision=1
version=$version+$package_revision

work=$top/build/packaging
src=$work/qk-relay-$version
out=$top/build/packages
rm -rf "$work"
mkdir -p "$src" "$out"
tar -C "$top" --exclude=./.git --exclude='./build*' --exclude=./.cache -cf - . | tar -C "$src" -xf -

# The date of the last commit keeps the build reproducible (dpkg takes SOURCE_DATE_EPOCH
# from it); outside a checkout the current time.
date=$(git -C "$top" log -1 --format=%aD 2>/dev/null || date -R)
cat >"$src/debian/changelog" <<CHANGELOG
qk-relay ($version) unstable; urgency=medium

  * QK Relay $version.

 -- QK Relay developers <dev@qk-relay.invalid>  $date
CHANGELOG

echo "Building qk-relay $version (log: $work/build.log)"
# noddebs: the two packages only, no separate debug symbol packages.
if ! (cd "$src" && DEB_BUILD_OPTIONS="parallel=2 noddebs" dpkg-buildpackage -b -us -uc) \
    >"$work/build.log" 2>&1; then
    tail -n 40 "$work/build.log" >&2
    echo "package.sh: dpkg-buildpackage failed; the whole log is $work/build.log" >&2
    exit 1
fi

rm -f "$out"/qk-relay*.deb
mv "$work"/qk-relay*_"$version"_*.deb "$out"/
ls -l "$out"/*.deb

echo "lintian:"
lintian_rc=0
lintian "$out"/*.deb >"$work/lintian.txt" 2>&1 || lintian_rc=$?
# As root lintian adds a line that it would rather not run as root.
grep -v 'running with root privileges' "$work/lintian.txt" || echo "  no tags"
exit "$lintian_rc"
