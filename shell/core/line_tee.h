// An output stream buffer that passes every byte on to another stream unchanged and also
// hands each complete line to a callback, so that the window can show what the cycle
// prints while standard output still gets exactly the same bytes.
#pragma once

#include <functional>
#include <ostream>
#include <streambuf>
#include <string>

namespace quillmark::shell {

class LineTee : public std::streambuf {
 public:
  // `line` gets each line without its '\n', in the bytes written (GBK for the cycle).
  // `target` must outlive this buffer.
  LineTee(std::ostream& target, std::function<void(const std::string&)> line);

  // Hands on a last line that has no '\n' yet, if any.
  void FlushPartialLine();

 protected:
  int_type overflow(int_type ch) override;
  std::streamsize xsputn(const char* data, std::streamsize count) override;
  int sync() override;

 private:
  void Take(const char* data, std::size_t count);

  std::ostream& target_;
  std::function<void(const std::string&)> line_;
  std::string pending_;
};

}  // namespace quillmark::shell
