// ThreadSanitizer in the server: cpp-httplib comes compiled from Debian,
// without TSan's instrumentation.  Its worker threads share function-local
// statics whose initialisation check is an inline atomic load TSan cannot
// see, so the memory functions the library calls report races that are not
// there.  The library's own calls to intercepted functions are ignored; our
// handlers, which the library calls, stay fully checked.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n";
}
#endif
