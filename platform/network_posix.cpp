// POSIX side of network.h: the interfaces' IPv4 addresses from getifaddrs.
#include "platform/network.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <memory>

namespace quillmark::platform {

std::vector<InterfaceAddress> Ipv4Addresses() {
  std::vector<InterfaceAddress> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owned(list, &freeifaddrs);
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text) == nullptr) continue;
    // IFF_RUNNING too: a cable pulled out leaves an interface up but unable to carry.
    const unsigned flags = entry->ifa_flags;
    found.push_back({entry->ifa_name, text, (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0,
                     (flags & IFF_LOOPBACK) != 0});
  }
  return found;
}

}  // namespace quillmark::platform
