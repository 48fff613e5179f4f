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

# ThreadSanitizer cannot share a build with AddressSanitizer; scripts/test.sh builds only
# the test executables that run threads of their own with it (build/tsan).
if(QUILLMARK_TSAN)
  if(QUILLMARK_SANITIZE)
    message(FATAL_ERROR "QUILLMARK_TSAN and QUILLMARK_SANITIZE exclude each other")
  endif()
  # Asio brackets each handler with std::atomic_thread_fence, which ThreadSanitizer does not
  # model (gcc warns, -Wtsan); the order it relies on comes from its own locks, which are.
  target_compile_options(quillmark_build_flags INTERFACE
    -fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  target_link_options(quillmark_build_flags INTERFACE -fsanitize=thread)
endif()

# Debug information is kept compressed in objects and executables: every test executable
# links the core statically, and uncompressed each carries about 100 MB of it, which fills
# the disk of a machine that builds the plain, sanitizer and thread-sanitizer trees side by
# side. Debuggers, valgrind and the sanitizers' symbolizers all read the compressed form.
if(NOT WIN32 AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(quillmark_build_flags INTERFACE -gz)
  target_link_options(quillmark_build_flags INTERFACE -gz)
endif()
