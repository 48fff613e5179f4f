// The machine's network interfaces, as far as a server offering itself on the LAN needs
// them: getifaddrs on POSIX (network_posix.cpp), GetAdaptersAddresses on Windows
// (network_win.cpp).
#pragma once

#include <string>
#include <vector>

namespace quillmark::platform {

struct InterfaceAddress {
  std::string interfaceName;  // "eth0", "wlan0"; Windows: the adapter's friendly name
  std::string address;        // dotted-decimal IPv4
  bool up = false;            // the interface is up (and, where the system says, running)
  bool loopback = false;
};

// Every IPv4 address of every interface, in the order the system lists them. Empty when
// the system cannot say.
std::vector<InterfaceAddress> Ipv4Addresses();

}  // namespace quillmark::platform
