# Sourced by the scripts that run the 32-bit Windows programs under Wine. Wine starts them as
# 32-bit Linux processes, which a kernel booted with 32-bit emulation off (ia32_emulation=off,
# or built with it off by default) refuses to execute.

# kernel_refuses_32bit: true when this kernel refuses Wine's 32-bit loader as "Exec format
# error"; false when it runs it, or when there is no such loader to try (that failure is
# then reported where Wine is used).
kernel_refuses_32bit() {
  local loader=/usr/lib/wine/wine out
  [ -x "$loader" ] || return 1
  out=$("$loader" --version 2>&1 </dev/null) && return 1
  case $out in *"Exec format error"*) return 0 ;; esac
  return 1
}

ia32_off_message="this kernel does not run 32-bit programs (32-bit emulation is off; boot it \
with ia32_emulation=on), so Wine cannot start the Windows programs"
