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

# twins_to_match CODENAME PACKAGE...: prints "NAME:ARCH=VERSION" pins that let the i386
# packages among PACKAGE be installed. Multiarch needs a library's amd64 and i386 builds at
# one version; where the i386 list of the security suite is missing, only the older version
# can be had for i386, so an amd64 library installed at the newer one is pinned back to it,
# and so is an installed package that needs that library at exactly its version (a -dev
# package of the same source).
twins_to_match() {
  local codename=$1 round out name installed candidate line version new
  shift
  local pins=()
  pin() {
    case " ${pins[*]} " in *" $1 "*) return 1 ;; esac
    pins+=("$1")
    new=yes
  }
  for round in 1 2 3 4 5 6 7 8; do
    out=$(apt-get install -s -t "$codename" --allow-downgrades --no-install-recommends "$@" \
      "${pins[@]}" 2>&1 </dev/null) && break
    new=""
    for name in $(printf '%s\n' "$out" | grep -oE 'Depends: [^ ]+:i386' | sed 's/^Depends: //; s/:i386$//' | sort -u); do
      installed=$(dpkg-query -W -f='${Version}' "$name:amd64" 2>/dev/null) || continue
      candidate=$(apt-cache policy "$name:i386" | awk '/Candidate:/ { print $2 }')
      [ -n "$candidate" ] && [ "$candidate" != "(none)" ] && [ "$candidate" != "$installed" ] || continue
      pin "$name:amd64=$candidate" && pin "$name:i386=$candidate"
    done
    # "libssl-dev : Depends: libssl3 (= 3.0.22-1) but 3.0.20-1 is to be installed"
    while read -r line; do
      name=${line%% *}
      version=$(printf '%s\n' "$line" | sed -n 's/.* but \([^ ]*\) is to be installed.*/\1/p')
      dpkg-query -W -f='${Version}' "$name:amd64" >/dev/null 2>&1 || continue
      apt-cache madison "$name" | awk -v v="$version" '$3 == v { found = 1 } END { exit !found }' ||
        continue
      pin "$name:amd64=$version" || true
    done < <(printf '%s\n' "$out" | sed -n 's/^ *\([^ ]*\) : Depends: [^ ]* (= [^)]*) but .* is to be installed$/\1 &/p' |
      sed 's/^\([^ ]*\) *[^ ]* : /\1 /')
    [ -n "$new" ] || break
  done
  # An empty array would print one empty line, read back as one empty package name.
  [ ${#pins[@]} -eq 0 ] || printf '%s\n' "${pins[@]}"
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
