// libzmq is not built with ThreadSanitizer: its lock-free pipes hand memory between its I/O threads
// and ours through atomics the sanitizer cannot see, so it reports libzmq's own allocations and
// copies as races. Only reports with libzmq on the stack are silenced. Other builds never call
// this.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libzmq.so\n";
}
