// What a real QR reader (zbarimg, a program of the machine the tests run on) finds in an
// image file, for the tests of whatever draws a QR code. Header only, so that the Qt tests
// and the Windows build's tests need no library for it.
#pragma once

#include <array>
#include <cstdio>
#include <memory>
#include <string>

namespace quillmark::testsupport {

// The text of the one QR code in `imageFile` (a format zbarimg reads: PGM, PNG, ...), empty
// when there is none or zbarimg cannot be run.
inline std::string ReadQrCode(const std::string& imageFile) {
  const std::string command = "zbarimg --raw -q -Sdisable -Sqrcode.enable '" + imageFile +
                              "' 2>/dev/null";  // stderr carries unrelated D-Bus noise
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string output;
  std::array<char, 4096> buffer{};
  std::size_t n;
  while (pipe && (n = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) {
    output.append(buffer.data(), n);
  }
  if (!output.empty() && output.back() == '\n') output.pop_back();  // zbarimg adds one
  return output;
}

// Whether zbarimg can be run from here: a Windows build's tests, run under Wine, cannot.
inline bool QrReaderRuns() {
  std::unique_ptr<FILE, int (*)(FILE*)> probe(popen("zbarimg --version", "r"), pclose);
  std::array<char, 64> version{};  // "0.23.92\n"
  return probe && std::fread(version.data(), 1, version.size(), probe.get()) > 0 &&
         version[0] >= '0' && version[0] <= '9';
}

}  // namespace quillmark::testsupport
