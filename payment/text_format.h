// printf-style formatting into a std::string, for the request documents and sign strings,
// whose wire formats are given as printf formats.
#pragma once

#include <string>

namespace quillmark {

// Compilers that do not know the attribute ignore it; GCC and Clang check the arguments.
[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...);

}  // namespace quillmark
