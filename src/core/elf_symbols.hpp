// Looks a symbol up in a shared library's dynamic symbol table by reading
// the file, so the plugin loader can tell plugins from other libraries
// without loading them (and everything they link, such as a runtime that is
// missing on this host).
#pragma once

#include <filesystem>
#include <string_view>

namespace kelvo::detail {

/// True when `file` is a 64-bit ELF object whose dynamic symbol table defines
/// `name`; false for anything else, including unreadable or malformed files.
bool elf_defines_symbol(const std::filesystem::path& file, std::string_view name);

}  // namespace kelvo::detail
