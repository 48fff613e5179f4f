// The line-splitting stream buffer of line_tee.h.
#include "shell/core/line_tee.h"

#include <utility>

namespace quillmark::shell {

LineTee::LineTee(std::ostream& target, std::function<void(const std::string&)> line)
    : target_(target), line_(std::move(line)) {}

void LineTee::FlushPartialLine() {
  if (pending_.empty()) return;
  line_(pending_);
  pending_.clear();
}

LineTee::int_type LineTee::overflow(int_type ch) {
  if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
  const char c = traits_type::to_char_type(ch);
  Take(&c, 1);
  return ch;
}

std::streamsize LineTee::xsputn(const char* data, std::streamsize count) {
  Take(data, static_cast<std::size_t>(count));
  return count;
}

int LineTee::sync() {
  // The cycle flushes after each line; so does standard output, as it always has.
  target_.flush();
  return target_ ? 0 : -1;
}

void LineTee::Take(const char* data, std::size_t count) {
  target_.write(data, static_cast<std::streamsize>(count));
  std::size_t start = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (data[i] != '\n') continue;
    pending_.append(data + start, i - start);
    line_(pending_);
    pending_.clear();
    start = i + 1;
  }
  pending_.append(data + start, count - start);
}

}  // namespace quillmark::shell
