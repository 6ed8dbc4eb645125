// Linked into the programs of sanitizer builds only. OpenVINO's TBB opens
// its NUMA helper with RTLD_DEEPBIND, which the sanitizer runtimes refuse
// (the process aborts). Dropping the flag keeps the library's own symbols
// first in practice and lets the engine's tests run under the sanitizers.
// Libraries are also never unloaded: ThreadSanitizer aborts when a library
// named in a called_from_lib suppression goes away, and leak reports need
// the code of the library that allocated.
#include <dlfcn.h>

// Clang links the sanitizer runtime into the program, where its dlopen
// (which tells the runtime about the new library) is this weak alias's
// target; GCC's shared runtime exports it too.
extern "C" void* __interceptor_dlopen(const char* file, int mode) __attribute__((weak));

extern "C" __attribute__((visibility("default"))) void* dlopen(const char* file, int mode) {
    using DlopenFn = void* (*)(const char*, int);
    static const auto next = __interceptor_dlopen
                                 ? &__interceptor_dlopen
                                 : reinterpret_cast<DlopenFn>(dlsym(RTLD_NEXT, "dlopen"));
    return next(file, (mode & ~RTLD_DEEPBIND) | RTLD_NODELETE);
}
