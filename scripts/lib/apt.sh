# Sourced by the scripts that update package lists and install packages. They run as root,
# or set $sudo to "sudo".

# apt_update: updates the package lists. A list that fails to download (a mirror in the
# middle of a sync, a suite the mirror lacks) does not stop the script: apt's own lines say
# which, and the install that follows decides whether what it needs is there.
apt_update() {
  local out
  if ! out=$(${sudo:-} apt-get update -qq 2>&1 </dev/null); then
    printf '%s\n' "$out" | grep -E '^(E|W|Err):' >&2 || printf '%s\n' "$out" >&2
    echo "warning: some package lists could not be updated (above); going on with the others" >&2
  elif [ -n "$out" ]; then
    printf '%s\n' "$out" >&2
  fi
}

# twins_to_match PACKAGE...: prints "NAME:amd64=V NAME:i386=V" for each library that the
# i386 packages among PACKAGE need and that is installed for amd64 at another version than
# the i386 lists offer. Multiarch needs both at one version; where one architecture's list
# of the security suite is missing, only the older version can be had for both.
twins_to_match() {
  local codename=$1 round out name installed candidate new
  shift
  local pins=()
  for round in 1 2 3 4 5 6 7 8; do
    out=$(apt-get install -s -t "$codename" --allow-downgrades --no-install-recommends "$@" \
      "${pins[@]}" 2>&1 </dev/null) && break
    new=""
    for name in $(printf '%s\n' "$out" | grep -oE 'Depends: [^ ]+:i386' | sed 's/^Depends: //; s/:i386$//' | sort -u); do
      installed=$(dpkg-query -W -f='${Version}' "$name:amd64" 2>/dev/null) || continue
      candidate=$(apt-cache policy "$name:i386" | awk '/Candidate:/ { print $2 }')
      [ -n "$candidate" ] && [ "$candidate" != "(none)" ] && [ "$candidate" != "$installed" ] || continue
      case " ${pins[*]} " in *" $name:amd64=$candidate "*) continue ;; esac
      pins+=("$name:amd64=$candidate" "$name:i386=$candidate")
      new=yes
    done
    [ -n "$new" ] || break
  done
  printf '%s\n' "${pins[@]}"
}

# apt_install PACKAGE...: installs the packages, without recommends. When that fails, tries
# once more with the release's main suite as the target release: with one architecture's
# list of the security suite missing, the other architecture's libraries there are newer
# than their multiarch twins, which must be of one version. Where such a library is already
# installed at the newer version, it is set back to the version both architectures can have
# (said on the way; the next apt-get upgrade after the mirror has synced brings both
# forward). Exits 1 naming what could not be installed when that fails too.
apt_install() {
  local log codename pins
  log=$(mktemp)
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  if ${sudo:-} apt-get install -y -qq --no-install-recommends "$@" </dev/null >"$log" 2>&1; then
    rm -f "$log"
    return 0
  fi
  echo "apt-get install failed ($(grep -m1 '^E:' "$log" || tail -n 1 "$log"));" \
    "trying again with $codename as the target release" >&2
  pins=()
  if printf '%s\n' "$@" | grep -q ':i386$'; then
    mapfile -t pins < <(twins_to_match "$codename" "$@")
    if [ ${#pins[@]} -gt 0 ]; then
      echo "warning: the i386 package lists lack the newer versions of these installed libraries;" \
        "they are set back to the version both architectures can have:" >&2
      printf '%s\n' "${pins[@]}" | sed -n 's/^\(.*\):amd64=\(.*\)$/  \1 \2/p' | while read -r name version; do
        echo "  $name $(dpkg-query -W -f='${Version}' "$name:amd64") -> $version" >&2
      done
    fi
  fi
  if ${sudo:-} apt-get install -y -qq --no-install-recommends --allow-downgrades -t "$codename" \
      "$@" "${pins[@]}" </dev/null >"$log" 2>&1; then
    rm -f "$log"
    return 0
  fi
  grep -E '^(E|W):| : Depends:' "$log" >&2 || cat "$log" >&2
  rm -f "$log"
  echo "Could not install: $*" >&2
  echo "The likely cause: the package lists of the two architectures (i386 and amd64) or of the" >&2
  echo "suites are out of step while the mirror syncs. Run 'apt-get update' again later." >&2
  exit 1
}
