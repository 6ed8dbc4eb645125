// Small helpers shared by the kit's libraries (header-only, not installed).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace kelvo::detail {

/// ASCII upper case; other bytes are left as they are.
inline std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

/// Names the calling thread (shown by debuggers and `top -H`); Linux keeps
/// at most 15 characters.
inline void name_this_thread(const char* name) {
#if defined(__linux__)
    char buffer[16] = {};
    std::memcpy(buffer, name, strnlen(name, sizeof buffer - 1));
    pthread_setname_np(pthread_self(), buffer);
#else
    (void)name;
#endif
}

/// The wall clock (Unix epoch) in nanoseconds.
inline std::int64_t wall_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

/// The steady clock in nanoseconds.
inline std::int64_t steady_now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace kelvo::detail
