# Sourced by the scripts and tests that put a computer and a phone on a LAN of their own.

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
  ip -n "$host" addr add "$subnet.1/24" dev "$LAN_HOST_IF"
  ip -n "$phone" addr add "$subnet.2/24" dev "$phone_if"
  ip -n "$host" link set lo up
  ip -n "$phone" link set lo up
  ip -n "$host" link set "$LAN_HOST_IF" up
  ip -n "$phone" link set "$phone_if" up
}
