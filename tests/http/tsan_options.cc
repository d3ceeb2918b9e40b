// ThreadSanitizer sees the allocations and copies made inside the system's
// OpenSSL but not its atomic reference counts (the library is not
// instrumented), so a TLS session freed by the last of several threads that
// held it looks like a race with the others' earlier reads. Those reports
// are about OpenSSL's own synchronisation; races in our code still report.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libcrypto.so.3\n"
         "called_from_lib:libssl.so.3\n";
}
