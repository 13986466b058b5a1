# Debian's hardening flags (dpkg-buildflags with hardening=+all) on our own code, for ELF
# builds: checked string and memory calls where the size is known (fortify, which needs the
# optimiser), a canary in functions with arrays on the stack, format strings checked, and
# relocations read-only and resolved at start (relro, bindnow). PIE is the compilers' default.
# None of them changes a result. Sanitizer and fuzzer builds go without: their own checks do
# more, and fortified calls would bypass AddressSanitizer's.
option(VANTOLY_HARDEN "Build with Debian's hardening flags (ELF platforms, gcc or clang)" ON)
if(VANTOLY_HARDEN AND UNIX AND NOT APPLE AND NOT VANTOLY_SANITIZE AND NOT VANTOLY_FUZZ
   AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(vantoly_options INTERFACE
    -fstack-protector-strong -Wformat -Werror=format-security
    # Replaces any level a compiler sets by itself, which a second definition would clash with.
    "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  target_link_options(vantoly_options INTERFACE LINKER:-z,relro LINKER:-z,now)
endif()
