// The kernel's export set by version profile: an image that imports a
// routine the profile's kernel lacks does not load. NT's loader resolves a
// driver's imports before it runs anything of it and fails the load with
// STATUS_DRIVER_ENTRYPOINT_NOT_FOUND ("could not locate the entry point ...
// in driver ntoskrnl.exe"); so does this one, reading the image's undefined
// dynamic symbols.
#include <elf.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "host/version_control.h"
#include "io_internal.h"

namespace host_io {
namespace {

// Routines of the stand-in kernel that NT 4.0 does not export, with the
// first release that does. Every other routine the stand-in exports is
// NT 4.0's.
struct LaterExport {
    const char* name;
    const char* since;
};
constexpr LaterExport kLaterExports[] = {
    {"MmMapLockedPagesSpecifyCache", "Windows 2000"},
    {"PsGetProcessId", "Windows XP"},
    {"KeFlushQueuedDpcs", "Windows XP SP2 and Server 2003"},
};

// Reads length bytes at offset of file into destination.
bool ReadAt(std::ifstream& file, size_t offset, void* destination, size_t length)
{
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(static_cast<char*>(destination), static_cast<std::streamsize>(length));
    return file.good();
}

// The undefined dynamic symbols of the ELF image at path; empty when it
// cannot be read (dlopen then reports why). Reads only the headers and the
// dynamic symbol and string tables.
std::vector<std::string> Imports(const std::string& path)
{
    std::vector<std::string> names;
    std::ifstream file(path, std::ios::binary);
    Elf64_Ehdr header;
    if (!ReadAt(file, 0, &header, sizeof(header))
        || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0
        || header.e_ident[EI_CLASS] != ELFCLASS64) {
        return names;
    }
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    if (!ReadAt(file, header.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr))) {
        return names;
    }
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_type != SHT_DYNSYM || section.sh_link >= sections.size()) {
            continue;
        }
        const Elf64_Shdr& strings = sections[section.sh_link];
        std::vector<Elf64_Sym> symbols(section.sh_size / sizeof(Elf64_Sym));
        std::vector<char> text(strings.sh_size + 1, 0);
        if (!ReadAt(file, section.sh_offset, symbols.data(), symbols.size() * sizeof(Elf64_Sym))
            || !ReadAt(file, strings.sh_offset, text.data(), strings.sh_size)) {
            return names;
        }
        for (const Elf64_Sym& symbol : symbols) {
            if (symbol.st_shndx == SHN_UNDEF && symbol.st_name != 0
                && symbol.st_name < strings.sh_size) {
                names.emplace_back(text.data() + symbol.st_name);
            }
        }
    }
    return names;
}

}  // namespace

std::string MissingKernelExport(const std::string& path)
{
    if (HostGetWindowsVersion() != HostWindowsNt4ToXp) {
        return {};
    }
    for (const std::string& name : Imports(path)) {
        for (const LaterExport& later : kLaterExports) {
            if (name == later.name) {
                return name + " (" + later.since + ")";
            }
        }
    }
    return {};
}

}  // namespace host_io
