#!/usr/bin/env bash
# Writes a deb-src entry for each of this machine's own Debian package sources (the same
# URIs, suites and components, type deb-src) into a file of its own, so that `apt-get source`
# can fetch the sources the Windows build cross-compiles. Sources of other suites (third-party
# repositories) are left out. Prints the file's name; does nothing when it is already there.
set -euo pipefail

[ "$(id -u)" -eq 0 ] || exec sudo "$0" "$@"

out=/etc/apt/sources.list.d/quillmark-deb-src.sources
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
[ -s "$out" ] && { echo "$out"; exit 0; }

tmp=$(mktemp)
# deb822 files: copy each stanza whose Types has "deb" and whose Suites name this release.
for f in /etc/apt/sources.list.d/*.sources; do
  [ -e "$f" ] && [ "$f" != "$out" ] || continue
  awk -v codename="$codename" '
    function flush() {
      if (types ~ /(^|[ \t])deb([ \t]|$)/ && suites ~ codename && uris != "") {
        print "Types: deb-src"; print "URIs: " uris; print "Suites: " suites
        print "Components: " comps
        if (signed != "") print "Signed-By: " signed
        print ""
      }
      types = uris = suites = comps = signed = ""
    }
    /^[ \t]*#/ { next }
    /^[ \t]*$/ { flush(); next }
    { key = $1; sub(/:$/, "", key); val = $0; sub(/^[^:]*:[ \t]*/, "", val) }
    tolower(key) == "types" { types = val }
    tolower(key) == "uris" { uris = val }
    tolower(key) == "suites" { suites = val }
    tolower(key) == "components" { comps = val }
    tolower(key) == "signed-by" { signed = val }
    END { flush() }' "$f" >>"$tmp"
done
# One-line files: each "deb [opts] URI SUITE COMPONENTS..." of this release becomes deb-src.
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -e "$f" ] || continue
  awk -v codename="$codename" '
    $1 == "deb" {
      opts = ""; i = 2
      if ($2 ~ /^\[/) { while ($i !~ /\]$/) { opts = opts $i " "; i++ } opts = opts $i; i++ }
      uri = $i; suite = $(i + 1); comps = ""
      for (j = i + 2; j <= NF; j++) comps = comps (comps == "" ? "" : " ") $j
      if (suite !~ codename) next
      print "Types: deb-src"; print "URIs: " uri; print "Suites: " suite
      print "Components: " comps
      if (opts ~ /signed-by=/) { s = opts; sub(/.*signed-by=/, "", s); sub(/[ \]].*/, "", s); print "Signed-By: " s }
      print ""
    }' "$f" >>"$tmp"
done
if [ ! -s "$tmp" ]; then
  rm -f "$tmp"
  echo "deb-src.sh: found no Debian $codename source in /etc/apt to make a deb-src entry from" >&2
  exit 1
fi
install -m 644 "$tmp" "$out"
rm -f "$tmp"
. "$(dirname "$0")/apt.sh"
apt_update
echo "$out"
