# One interface target carries the project's warning and sanitizer flags, so that every
# target opts in with a single target_link_libraries() and nothing leaks into the
# third-party code that we compile (none today, but the fuzzers add clang-only flags).
add_library(quillmark_build_flags INTERFACE)
add_library(Quillmark::build_flags ALIAS quillmark_build_flags)

target_compile_options(quillmark_build_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual
  $<$<BOOL:${QUILLMARK_WERROR}>:-Werror>)

if(QUILLMARK_SANITIZE)
  target_compile_options(quillmark_build_flags INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(quillmark_build_flags INTERFACE -fsanitize=address,undefined)
endif()
