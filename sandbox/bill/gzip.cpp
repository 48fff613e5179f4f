// Gzip through zlib's deflate with its gzip wrapper, in one call: a bill is small.
#include "sandbox/bill/gzip.h"

#include <zlib.h>

#include <utility>

namespace quillmark::sandbox {

bool Gzip(const std::string& data, std::string& gzipped) {
  z_stream stream{};
  // 15 window bits, +16 for the gzip header and trailer rather than zlib's.
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return false;
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) return false;
  gzipped = std::move(out);
  return true;
}

}  // namespace quillmark::sandbox
