// The folder of libkelvo_core.so, read from the loader's record of this code.
#include "core/library_dir.hpp"

#include <dlfcn.h>

namespace kelvo::detail {

std::filesystem::path core_library_dir() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&core_library_dir), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    return std::filesystem::path(info.dli_fname).parent_path();
}

}  // namespace kelvo::detail
