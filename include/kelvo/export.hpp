// Symbol export for the kit's shared libraries (built with hidden visibility).
#pragma once

#if defined(_WIN32)
#define KELVO_API __declspec(dllexport)
#else
#define KELVO_API __attribute__((visibility("default")))
#endif
