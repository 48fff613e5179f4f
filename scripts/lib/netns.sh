# Sourced by the scripts and tests that run programs in network namespaces of their own.

# netns_run NAME COMMAND...: runs COMMAND in the network namespace NAME (made by `ip netns
# add`) and nothing else of it. Not `ip netns exec` nor `ip -n`: they also remount /sys in a
# mount namespace of their own, which fails where / is not a mount point (a chroot). A
# command run in the background whose PID matters is started as `nsenter --net=... --`
# itself, which becomes the command: a function would be a subshell of its own.
netns_run() {
  local name=$1
  shift
  nsenter --net="/run/netns/$name" -- "$@"
}

# lan_namespaces HOST PHONE SUBNET TAG: two network namespaces joined by a veth pair, HOST
# with SUBNET.1/24 and PHONE with SUBNET.2/24, their loopbacks up; nothing else reaches or
# leaves them. Sets LAN_HOST_IF, the host's end. TAG (two letters) keeps the pair's names
# apart from another caller's, within the kernel's 15 bytes. Fails where namespaces
# cannot be made (not root, or no iproute2); the caller deletes both namespaces.
lan_namespaces() {
  local host=$1 phone=$2 subnet=$3 tag=$4
  LAN_HOST_IF=${tag}h$$
  local phone_if=${tag}p$$
  ip netns add "$host" 2>/dev/null || return 1
  ip netns add "$phone" || return 1
  ip link add "$LAN_HOST_IF" type veth peer name "$phone_if" || return 1
  ip link set "$LAN_HOST_IF" netns "$host"
  ip link set "$phone_if" netns "$phone"
  netns_run "$host" ip addr add "$subnet.1/24" dev "$LAN_HOST_IF"
  netns_run "$phone" ip addr add "$subnet.2/24" dev "$phone_if"
  netns_run "$host" ip link set lo up
  netns_run "$phone" ip link set lo up
  netns_run "$host" ip link set "$LAN_HOST_IF" up
  netns_run "$phone" ip link set "$phone_if" up
}
