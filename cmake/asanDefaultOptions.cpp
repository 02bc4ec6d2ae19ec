// Default AddressSanitizer options, built into the project's programs and tests when they are
// sanitized, so a run behaves the same however it is started: ctest, the end-to-end scripts or
// by hand. ASAN_OPTIONS set in the environment still override them.
//
// intercept_tls_get_addr=0: the leak checker of this toolchain guesses where a dynamic TLS block
// starts from the bytes in front of it. When glibc's block for a library loaded with dlopen (the
// plug-in, in every host) lands 16 bytes past a page boundary, the guess reads heap bytes as an
// address range and the checker crashes at exit. Where the block lands depends on the lengths of
// the paths the program was given. Without the interceptor the blocks are still reached through
// glibc's own thread vector, so no leak goes unreported and none is invented.

extern "C" {

const char* __asan_default_options();

__attribute__((used, visibility("default"))) const char* __asan_default_options() {
    return "detect_leaks=1:intercept_tls_get_addr=0";
}

}  // extern "C"
