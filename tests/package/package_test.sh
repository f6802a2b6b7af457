#!/usr/bin/env bash
# The Debian package: scripts/package.sh builds it (build/pkg, or the folder given as argument);
# its control data names the run-time libraries and the font, and it holds the program, its files
# and the desktop's entries, all under /usr, the entries valid.
set -euo pipefail
cd "$(dirname "$0")/../.."
dir=${1:-build/pkg}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

scripts/package.sh "$dir"
debs=("$dir"/qvgameassist_*_amd64.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "no single package in $dir: ${debs[*]}"
deb=${debs[0]}

info=$(dpkg-deb -I "$deb")
echo "$info"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = qvgameassist ] || fail "package name"
[ "$(field Architecture)" = amd64 ] || fail "architecture"
version=$(field Version)
[ "$deb" = "$dir/qvgameassist_${version}_amd64.deb" ] || fail "file name $deb for version $version"
depends=$(field Depends)
# Found by dpkg-shlibdeps from the program's libraries, and the font added by hand.
for dep in libc6 libstdc++6 libx11-6 libxi6 libcairo2 libpango-1.0-0 libfontconfig1 libcurl4 fonts-wqy-microhei; do
  echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -qxF "$dep" || fail "Depends lacks $dep: $depends"
done

contents=$(dpkg-deb -c "$deb")
echo "$contents"
id=net.qvgameassist.QvGameAssist
for f in usr/bin/qvgameassist usr/share/qvgameassist/Skins/LoginWnd.xml usr/share/qvgameassist/Skins/fonts.conf \
  usr/share/qvgameassist/res/icon109.png usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml \
  usr/share/icons/hicolor/16x16/apps/$id.png usr/share/icons/hicolor/256x256/apps/$id.png; do
  echo "$contents" | grep -qE " \./$f$" || fail "missing $f"
done
stray=$(echo "$contents" | awk '{print $6}' | grep -vE '^\./(usr/.*)?$' || true)
[ -z "$stray" ] || fail "files outside /usr: $stray"
# No maintainer scripts: removing the package leaves nothing behind.
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
echo "$control" | grep -qE 'preinst|postinst|prerm|postrm' && fail "maintainer scripts: $control"

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
desktop-file-validate "$unpacked/usr/share/applications/$id.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$unpacked/usr/share/metainfo/$id.metainfo.xml" || fail "metainfo"
grep -q "<release version=\"$version\"" "$unpacked/usr/share/metainfo/$id.metainfo.xml" || fail "no release $version in the metainfo"
# Stripped, and a program of the package's architecture.
file "$unpacked/usr/bin/qvgameassist" | grep -q 'x86-64.*stripped' || fail "binary: $(file "$unpacked/usr/bin/qvgameassist")"
file "$unpacked/usr/bin/qvgameassist" | grep -q 'not stripped' && fail "binary not stripped"
echo "package ok: $deb"
