// The kernel's export set by version profile: an image that imports a
// routine the profile's kernel lacks does not load. NT's loader resolves a
// driver's imports before it runs anything of it and fails the load with
// STATUS_DRIVER_ENTRYPOINT_NOT_FOUND ("could not locate the entry point ...
// in driver ntoskrnl.exe"); so does this one, reading the image's undefined
// dynamic symbols.
#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
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

// The undefined dynamic symbols of the ELF image at path; empty when it
// cannot be read (dlopen then reports why).
std::vector<std::string> Imports(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> image((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    std::vector<std::string> names;
    Elf64_Ehdr header;
    if (image.size() < sizeof(header)) {
        return names;
    }
    std::memcpy(&header, image.data(), sizeof(header));
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64
        || header.e_shoff + size_t(header.e_shnum) * sizeof(Elf64_Shdr) > image.size()) {
        return names;
    }
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    std::memcpy(sections.data(), image.data() + header.e_shoff,
                sections.size() * sizeof(Elf64_Shdr));
    for (const Elf64_Shdr& section : sections) {
        if (section.sh_type != SHT_DYNSYM || section.sh_link >= sections.size()
            || section.sh_offset + section.sh_size > image.size()) {
            continue;
        }
        const Elf64_Shdr& strings = sections[section.sh_link];
        for (size_t at = section.sh_offset; at + sizeof(Elf64_Sym) <= section.sh_offset + section.sh_size;
             at += sizeof(Elf64_Sym)) {
            Elf64_Sym symbol;
            std::memcpy(&symbol, image.data() + at, sizeof(symbol));
            if (symbol.st_shndx == SHN_UNDEF && symbol.st_name != 0
                && symbol.st_name < strings.sh_size
                && strings.sh_offset + strings.sh_size <= image.size()) {
                names.emplace_back(image.data() + strings.sh_offset + symbol.st_name);
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
