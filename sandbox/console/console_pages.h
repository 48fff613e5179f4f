// The console's static pages (HTML, CSS, JS from sandbox/console/pages), embedded at build
// time by embed_pages.cmake: the console serves them as they are, with no data in them;
// each page fills itself from the JSON API.
#pragma once

#include <string_view>
#include <vector>

namespace quillmark::sandbox {

struct ConsolePageFile {
  std::string_view name;  // its file name in pages/: "console.html"
  std::string_view body;
};

// Every page file, in the order CMake names them.
const std::vector<ConsolePageFile>& ConsolePageFiles();

}  // namespace quillmark::sandbox
