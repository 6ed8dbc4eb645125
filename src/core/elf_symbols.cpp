#include "core/elf_symbols.hpp"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <vector>

namespace kelvo::detail {
namespace {

template <typename T>
bool read_at(std::ifstream& in, std::uint64_t offset, T* out, std::size_t count = 1) {
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(sizeof(T) * count));
    return static_cast<std::size_t>(in.gcount()) == sizeof(T) * count;
}

// Tables larger than this are not a plugin's (and would be a hostile file).
constexpr std::uint64_t MAX_TABLE_BYTES = 64u << 20;

}  // namespace

bool elf_defines_symbol(const std::filesystem::path& file, std::string_view name) {
    std::ifstream in(file, std::ios::binary);
    Elf64_Ehdr header{};
    if (!in || !read_at(in, 0, &header)) return false;
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr) ||
        header.e_shnum == 0) {
        return false;
    }
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    if (!read_at(in, header.e_shoff, sections.data(), sections.size())) return false;
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_type != SHT_DYNSYM || section.sh_entsize != sizeof(Elf64_Sym)) continue;
        if (section.sh_link >= sections.size()) return false;
        const Elf64_Shdr& strings = sections[section.sh_link];
        if (section.sh_size > MAX_TABLE_BYTES || strings.sh_size > MAX_TABLE_BYTES) return false;
        std::vector<Elf64_Sym> symbols(section.sh_size / sizeof(Elf64_Sym));
        std::vector<char> names(strings.sh_size);
        if (!read_at(in, section.sh_offset, symbols.data(), symbols.size()) ||
            !read_at(in, strings.sh_offset, names.data(), names.size())) {
            return false;
        }
        for (const Elf64_Sym& symbol : symbols) {
            if (symbol.st_shndx == SHN_UNDEF || symbol.st_name >= names.size()) continue;
            const char* text = names.data() + symbol.st_name;
            const std::size_t length = strnlen(text, names.size() - symbol.st_name);
            if (std::string_view(text, length) == name) return true;
        }
    }
    return false;
}

}  // namespace kelvo::detail
