#include "frontend/symbols.h"

#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "frontend/options.h"

namespace tavo::frontend {

namespace {

struct search_t {
    const char* list;
    code_range_t* ranges;
    std::size_t capacity;
    std::size_t found;
};

bool wanted(const char* list, const char* name) {
    if (names_match(list, name)) return true;
    if (name[0] != '_' || name[1] != 'Z') return false;
    int status = 0;
    char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    const bool match = status == 0 && demangled != nullptr && names_match(list, demangled);
    std::free(demangled);
    return match;
}

// The full symbol table when the file has one, else the dynamic one.
void search_image(const unsigned char* image, std::size_t size, std::uintptr_t bias, search_t& search) {
    if (size < sizeof(ElfW(Ehdr)) || std::memcmp(image, ELFMAG, SELFMAG) != 0 || image[EI_CLASS] != ELFCLASS64) return;
    const auto& header = *reinterpret_cast<const ElfW(Ehdr)*>(image);
    if (header.e_shoff == 0 || header.e_shentsize != sizeof(ElfW(Shdr)) ||
        header.e_shoff + std::size_t{header.e_shnum} * sizeof(ElfW(Shdr)) > size)
        return;
    const auto* sections = reinterpret_cast<const ElfW(Shdr)*>(image + header.e_shoff);
    const ElfW(Shdr)* table = nullptr;
    for (unsigned index = 0; index < header.e_shnum; ++index)
        if (sections[index].sh_type == SHT_SYMTAB) table = &sections[index];
    if (table == nullptr)
        for (unsigned index = 0; index < header.e_shnum; ++index)
            if (sections[index].sh_type == SHT_DYNSYM) table = &sections[index];
    if (table == nullptr || table->sh_link >= header.e_shnum || table->sh_offset + table->sh_size > size) return;
    const ElfW(Shdr)& strings = sections[table->sh_link];
    if (strings.sh_offset + strings.sh_size > size || strings.sh_size == 0) return;
    const auto* symbols = reinterpret_cast<const ElfW(Sym)*>(image + table->sh_offset);
    const auto* names = reinterpret_cast<const char*>(image + strings.sh_offset);
    for (std::size_t index = 0; index < table->sh_size / sizeof(ElfW(Sym)); ++index) {
        const ElfW(Sym)& symbol = symbols[index];
        if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_shndx == SHN_UNDEF || symbol.st_value == 0) continue;
        if (symbol.st_name >= strings.sh_size || names[strings.sh_size - 1] != '\0') continue;
        if (!wanted(search.list, names + symbol.st_name)) continue;
        if (search.found < search.capacity) search.ranges[search.found] = {bias + symbol.st_value, symbol.st_size};
        ++search.found;
    }
}

int search_module(dl_phdr_info* info, std::size_t, void* data) {
    auto& search = *static_cast<search_t*>(data);
    const char* path = info->dlpi_name != nullptr && info->dlpi_name[0] != '\0' ? info->dlpi_name : "/proc/self/exe";
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) return 0;
    struct stat status;
    if (fstat(file, &status) == 0 && status.st_size > 0) {
        const auto size = static_cast<std::size_t>(status.st_size);
        void* image = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file, 0);
        if (image != MAP_FAILED) {
            search_image(static_cast<const unsigned char*>(image), size, info->dlpi_addr, search);
            munmap(image, size);
        }
    }
    close(file);
    return 0;
}

}  // namespace

std::size_t find_functions(const char* list, code_range_t* ranges, std::size_t capacity) noexcept {
    search_t search{list, ranges, capacity, 0};
    if (list != nullptr && list[0] != '\0') dl_iterate_phdr(search_module, &search);
    return search.found;
}

}  // namespace tavo::frontend
