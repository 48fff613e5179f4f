// The gzip form of a bill the merchant asked for with tar_type GZIP.
#pragma once

#include <string>

namespace quillmark::sandbox {

// `data` as one gzip member (RFC 1952), by zlib. False only when zlib fails (no memory).
bool Gzip(const std::string& data, std::string& gzipped);

}  // namespace quillmark::sandbox
