# Sourced by the scripts that install or run the Windows programs. A kernel booted with
# 32-bit emulation off (ia32_emulation=off, or built with it off by default) runs no 32-bit
# x86 code at all: it refuses a 32-bit program as "Exec format error", and a 64-bit process
# cannot switch to 32-bit code either, so neither wine32 nor Wine's WoW64 mode runs there.
# Only the x86_64 Windows programs under wine64 can be tested on such a machine.

# kernel_runs_32bit: true when this kernel executes a 32-bit x86 program. It executes the
# smallest such program there is (93 bytes: an ELF32 header, one segment, exit(0) through
# int 0x80), so it needs no 32-bit toolchain and answers before anything is installed.
kernel_runs_32bit() {
  case $(uname -m) in x86_64 | i?86) ;; *) return 1 ;; esac
  local dir probe rc=1
  dir=$(mktemp -d) || return 1
  probe=$dir/ia32-probe
  # ELF header: class 32, little-endian, executable, i386, entry 0x08048054, one program
  # header at 0x34.
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' >"$probe"
  printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000' >>"$probe"
  printf '\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000' >>"$probe"
  # The segment: loaded at 0x08048000, 93 bytes, read and execute.
  printf '\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010' >>"$probe"
  printf '\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000' >>"$probe"
  # mov eax, 1; xor ebx, ebx; int 0x80
  printf '\270\001\000\000\000\061\333\315\200' >>"$probe"
  chmod +x "$probe"
  "$probe" >/dev/null 2>&1 </dev/null && rc=0
  rm -rf "$dir"
  return $rc
}

ia32_off_message="this kernel does not run 32-bit programs (32-bit emulation is off; boot it \
with ia32_emulation=on)"
