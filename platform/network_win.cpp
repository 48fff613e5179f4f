// Windows side of network.h: the adapters' IPv4 addresses from GetAdaptersAddresses.
//
// winsock2.h before anything that may bring windows.h, which would take the old winsock.h,
// and each of these before the next, whose types it uses.
#include <winsock2.h>

#include <ws2tcpip.h>

#include <iphlpapi.h>

#include "platform/network.h"

#include <vector>

#include "platform/wide.h"

namespace quillmark::platform {

std::vector<InterfaceAddress> Ipv4Addresses() {
  std::vector<InterfaceAddress> found;
  constexpr ULONG kFlags =
      GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  // The size it asks for may grow between two calls (an adapter comes up): a few tries.
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = GetAdaptersAddresses(AF_INET, kFlags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) return found;
  for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
       adapter != nullptr; adapter = adapter->Next) {
    const std::string name = adapter->FriendlyName ? Utf8(adapter->FriendlyName) : "";
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
         unicast != nullptr; unicast = unicast->Next) {
      const sockaddr* address = unicast->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != AF_INET) continue;
      const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(address);
      const unsigned char* b = reinterpret_cast<const unsigned char*>(&ipv4->sin_addr);
      const std::string text = std::to_string(b[0]) + "." + std::to_string(b[1]) + "." +
                               std::to_string(b[2]) + "." + std::to_string(b[3]);
      found.push_back({name, text, adapter->OperStatus == IfOperStatusUp,
                       adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK});
    }
  }
  return found;
}

}  // namespace quillmark::platform
