// A log a sandbox writes from its threads (requests, the notifier, the store's writer) while
// a test reads it: each write and each read of the text is under one lock.
#pragma once

#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

namespace quillmark::sandbox::testsupport {

class SharedLog : public std::ostream {
 public:
  SharedLog() : std::ostream(&buffer_) {}
  std::string str() const { return buffer_.text(); }

 private:
  class Buffer : public std::streambuf {
   public:
    std::string text() const {
      std::lock_guard<std::mutex> lock(mutex_);
      return text_;
    }

   protected:
    int_type overflow(int_type c) override {
      if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
      std::lock_guard<std::mutex> lock(mutex_);
      text_.push_back(traits_type::to_char_type(c));
      return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
      std::lock_guard<std::mutex> lock(mutex_);
      text_.append(s, static_cast<std::size_t>(n));
      return n;
    }

   private:
    mutable std::mutex mutex_;
    std::string text_;
  };
  Buffer buffer_;
};

}  // namespace quillmark::sandbox::testsupport
