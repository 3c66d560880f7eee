#include "frontend/symbols.h"

#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontend/options.h"
#include "runtime/spin_lock.h"

namespace tavo::frontend {

namespace {

// Module files mapped once and kept for the run: reports may look symbols up many times.
struct image_t {
    char path[512];
    const unsigned char* data;
    std::size_t size;
};
constexpr std::size_t image_capacity = 64;
image_t images[image_capacity];
std::size_t image_count = 0;
std::uint8_t images_lock = 0;

const char* real_program_path() {
    static char path[512];
    if (path[0] == '\0') {
        const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
        if (length <= 0) return "/proc/self/exe";
        path[length] = '\0';
    }
    return path;
}

const char* module_path(const dl_phdr_info* info) {
    return info->dlpi_name != nullptr && info->dlpi_name[0] != '\0' ? info->dlpi_name : real_program_path();
}

const image_t* image_of(const char* path) {
    spin_guard_t guard(images_lock);
    for (std::size_t index = 0; index < image_count; ++index)
        if (std::strcmp(images[index].path, path) == 0) return images[index].data != nullptr ? &images[index] : nullptr;
    if (image_count == image_capacity || std::strlen(path) >= sizeof images[0].path) return nullptr;
    image_t& image = images[image_count++];
    std::snprintf(image.path, sizeof image.path, "%s", path);
    image.data = nullptr;
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) return nullptr;
    struct stat status;
    if (fstat(file, &status) == 0 && status.st_size > 0) {
        void* data = mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ, MAP_PRIVATE, file, 0);
        if (data != MAP_FAILED) {
            image.data = static_cast<const unsigned char*>(data);
            image.size = static_cast<std::size_t>(status.st_size);
        }
    }
    close(file);
    return image.data != nullptr ? &image : nullptr;
}

// The symbols of an image: the full table when the file has one, else the dynamic one.
struct symbol_table_t {
    const ElfW(Sym)* symbols = nullptr;
    std::size_t count = 0;
    const char* names = nullptr;
    std::size_t names_size = 0;

    explicit symbol_table_t(const image_t* image) {
        if (image == nullptr) return;
        const unsigned char* data = image->data;
        const std::size_t size = image->size;
        if (size < sizeof(ElfW(Ehdr)) || std::memcmp(data, ELFMAG, SELFMAG) != 0 || data[EI_CLASS] != ELFCLASS64) return;
        const auto& header = *reinterpret_cast<const ElfW(Ehdr)*>(data);
        if (header.e_shoff == 0 || header.e_shentsize != sizeof(ElfW(Shdr)) ||
            header.e_shoff + std::size_t{header.e_shnum} * sizeof(ElfW(Shdr)) > size)
            return;
        const auto* sections = reinterpret_cast<const ElfW(Shdr)*>(data + header.e_shoff);
        const ElfW(Shdr)* table = nullptr;
        for (unsigned index = 0; index < header.e_shnum; ++index)
            if (sections[index].sh_type == SHT_SYMTAB) table = &sections[index];
        if (table == nullptr)
            for (unsigned index = 0; index < header.e_shnum; ++index)
                if (sections[index].sh_type == SHT_DYNSYM) table = &sections[index];
        if (table == nullptr || table->sh_link >= header.e_shnum || table->sh_offset + table->sh_size > size) return;
        const ElfW(Shdr)& strings = sections[table->sh_link];
        if (strings.sh_offset + strings.sh_size > size || strings.sh_size == 0) return;
        names = reinterpret_cast<const char*>(data + strings.sh_offset);
        if (names[strings.sh_size - 1] != '\0') return;
        symbols = reinterpret_cast<const ElfW(Sym)*>(data + table->sh_offset);
        count = table->sh_size / sizeof(ElfW(Sym));
        names_size = strings.sh_size;
    }

    // Defined functions (or data objects) with a name.
    const char* name_of(const ElfW(Sym)& symbol, bool object) const {
        const unsigned type = ELF64_ST_TYPE(symbol.st_info);
        if (type != (object ? STT_OBJECT : STT_FUNC) || symbol.st_shndx == SHN_UNDEF || symbol.st_value == 0) return nullptr;
        return symbol.st_name < names_size && names[symbol.st_name] != '\0' ? names + symbol.st_name : nullptr;
    }
};

// A demangled name to free, or null.
char* demangle(const char* name) {
    if (name[0] != '_' || name[1] != 'Z') return nullptr;
    int status = 0;
    char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status == 0) return demangled;
    std::free(demangled);
    return nullptr;
}

struct visit_t {
    bool (*visit)(const char*, const char*, void*);
    void* data;
    bool done;
};

int visit_module(dl_phdr_info* info, std::size_t, void* data) {
    auto& visit = *static_cast<visit_t*>(data);
    const symbol_table_t table(image_of(module_path(info)));
    for (std::size_t index = 0; index < table.count && !visit.done; ++index) {
        const char* name = table.name_of(table.symbols[index], false);
        if (name == nullptr) continue;
        char* demangled = demangle(name);
        visit.done = visit.visit(name, demangled, visit.data);
        std::free(demangled);
    }
    return visit.done ? 1 : 0;
}

struct containing_t {
    std::uint64_t address;
    dl_phdr_info info;
};

int find_containing(dl_phdr_info* info, std::size_t, void* data) {
    auto& query = *static_cast<containing_t*>(data);
    for (int index = 0; index < info->dlpi_phnum; ++index) {
        const ElfW(Phdr)& header = info->dlpi_phdr[index];
        const std::uint64_t start = info->dlpi_addr + header.p_vaddr;
        if (header.p_type == PT_LOAD && query.address >= start && query.address < start + header.p_memsz) {
            query.info = *info;
            return 1;
        }
    }
    return 0;
}

}  // namespace

bool any_function(bool (*visit)(const char*, const char*, void*), void* data) noexcept {
    visit_t state{visit, data, false};
    dl_iterate_phdr(visit_module, &state);
    return state.done;
}

std::size_t find_functions(const char* list, code_range_t* ranges, std::size_t capacity) noexcept {
    if (list == nullptr || list[0] == '\0') return 0;
    struct search_t {
        const char* list;
        code_range_t* ranges;
        std::size_t capacity;
        std::size_t found;
    } search{list, ranges, capacity, 0};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto& wanted = *static_cast<search_t*>(data);
            const symbol_table_t table(image_of(module_path(info)));
            for (std::size_t index = 0; index < table.count; ++index) {
                const ElfW(Sym)& symbol = table.symbols[index];
                const char* name = table.name_of(symbol, false);
                if (name == nullptr) continue;
                bool match = names_match(wanted.list, name);
                if (!match) {
                    char* demangled = demangle(name);
                    match = demangled != nullptr && names_match(wanted.list, demangled);
                    std::free(demangled);
                }
                if (!match) continue;
                if (wanted.found < wanted.capacity) wanted.ranges[wanted.found] = {info->dlpi_addr + symbol.st_value, symbol.st_size};
                ++wanted.found;
            }
            return 0;
        },
        &search);
    return search.found;
}

bool any_module(bool (*visit)(const char* path, void* data), void* data) noexcept {
    struct query_t {
        bool (*visit)(const char*, void*);
        void* data;
    } query{visit, data};
    return dl_iterate_phdr(
               [](dl_phdr_info* info, std::size_t, void* asked) {
                   const auto& wanted = *static_cast<query_t*>(asked);
                   const bool named = info->dlpi_name != nullptr && info->dlpi_name[0] != '\0';
                   return named && wanted.visit(info->dlpi_name, wanted.data) ? 1 : 0;
               },
               &query) != 0;
}

bool module_containing(std::uint64_t address, module_t& module) noexcept {
    containing_t query{address, {}};
    if (dl_iterate_phdr(find_containing, &query) == 0) return false;
    module = {module_path(&query.info), address - query.info.dlpi_addr};
    return true;
}

bool symbol_containing(std::uint64_t address, bool object, symbol_t& symbol) noexcept {
    containing_t query{address, {}};
    if (dl_iterate_phdr(find_containing, &query) == 0) return false;
    const symbol_table_t table(image_of(module_path(&query.info)));
    const ElfW(Sym)* best = nullptr;
    const std::uint64_t offset = address - query.info.dlpi_addr;
    for (std::size_t index = 0; index < table.count; ++index) {
        const ElfW(Sym)& candidate = table.symbols[index];
        if (table.name_of(candidate, object) == nullptr || candidate.st_value > offset) continue;
        if (offset < candidate.st_value + (candidate.st_size != 0 ? candidate.st_size : 1)) best = &candidate;
    }
    if (best == nullptr) return false;
    const char* name = table.name_of(*best, object);
    char* demangled = demangle(name);
    std::snprintf(symbol.name, sizeof symbol.name, "%s", demangled != nullptr ? demangled : name);
    std::free(demangled);
    symbol.start = query.info.dlpi_addr + best->st_value;
    symbol.size = best->st_size;
    return true;
}

}  // namespace tavo::frontend
