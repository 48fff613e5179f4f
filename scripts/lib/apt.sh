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

# apt_install PACKAGE...: installs the packages, without recommends. When that fails, tries
# once more with the release's main suite as the target release: with one architecture's
# list of the security suite missing, the other architecture's libraries there are newer
# than their multiarch twins, which must be of one version. Exits 1 naming what could not
# be installed when both fail.
apt_install() {
  local log codename
  log=$(mktemp)
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  if ${sudo:-} apt-get install -y -qq --no-install-recommends "$@" </dev/null >"$log" 2>&1; then
    rm -f "$log"
    return 0
  fi
  echo "apt-get install failed ($(grep -m1 '^E:' "$log" || tail -n 1 "$log"));" \
    "trying again with $codename as the target release" >&2
  if ${sudo:-} apt-get install -y -qq --no-install-recommends -t "$codename" "$@" \
      </dev/null >"$log" 2>&1; then
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
