// Files a program is given to read (a CA bundle, a certificate, a key, a settings file):
// checked for what they are before they are opened, and read whole within a bound.
#pragma once

#include <cstdint>
#include <string>

namespace quillmark {

// The most a CA bundle (the system's included), a certificate chain or a key file may
// hold; anything larger is not what the option meant.
inline constexpr std::uintmax_t kMaxCaFileBytes = 8 * 1024 * 1024;

// Why `path` cannot serve as a file a program reads, or empty: it must be a regular file
// of at most `maxBytes` ("it does not exist", "it is not a regular file", ...). Asked before
// the file is opened, so that a pipe, a device or a folder is refused instead of blocking,
// spinning or reading as empty. Every program checks the files it is given by this.
std::string NotARegularFile(const std::string& path, std::uintmax_t maxBytes);
// The whole of `path`, a file NotARegularFile accepted, read through the seam
// (platform::OpenDiskFile: without waiting, and only a file on disk) into `text`. False when
// it cannot be opened or read, or holds more than `maxBytes`.
bool ReadDiskFile(const std::string& path, std::uintmax_t maxBytes, std::string& text);

}  // namespace quillmark
