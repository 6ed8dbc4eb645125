// Linked into test programs of sanitizer builds only. OpenVINO's TBB opens
// its NUMA helper with RTLD_DEEPBIND, which the sanitizer runtimes refuse
// (the process aborts). Dropping the flag keeps the library's own symbols
// first in practice and lets the engine's tests run under the sanitizers.
// Libraries are also never unloaded: ThreadSanitizer aborts when a library
// named in a called_from_lib suppression goes away, and leak reports need
// the code of the library that allocated.
#include <dlfcn.h>

extern "C" __attribute__((visibility("default"))) void* dlopen(const char* file, int mode) {
    using DlopenFn = void* (*)(const char*, int);
    static const auto next = reinterpret_cast<DlopenFn>(dlsym(RTLD_NEXT, "dlopen"));
    return next(file, (mode & ~RTLD_DEEPBIND) | RTLD_NODELETE);
}
