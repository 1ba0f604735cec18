// Program resources, read from the resource compiler's output (.res), which
// is a row of DWORD-aligned entries:
//   DWORD DataSize, DWORD HeaderSize, type and name (each 0xFFFF and a WORD
//   ordinal, or a zero-ended UTF-16 string), then the rest of the header up
//   to HeaderSize, then DataSize bytes of data.
// The file opens with an empty entry (type and name ordinal 0), which marks
// it as a 32-bit resource file. Names compare as Windows compares them:
// ordinals as "#<number>", strings without regard to case.
#include <fstream>
#include <iterator>
#include <map>

#include "host/kernel32_user.h"
#include "host/user32_control.h"
#include "host/win32_text.h"
#include "user32_internal.h"

namespace host_user {
namespace {

using ResourceKey = std::pair<std::u16string, std::u16string>;   // type, name

struct ResourceModule {
    DWORD process;
    std::map<ResourceKey, std::vector<unsigned char>> resources;
};

std::mutex resourceLock;
std::map<HINSTANCE, ResourceModule>& Modules()   // resourceLock
{
    static auto* modules = new std::map<HINSTANCE, ResourceModule>;
    return *modules;
}
// Instance handles, never reused, where a program's image would lie.
ULONG_PTR nextInstance = 0x400000;   // resourceLock

std::u16string KeyOf(WORD ordinal, std::u16string text)
{
    if (text.empty()) {
        text = u"#" + host_text::Widen(std::to_string(ordinal).c_str());
    }
    for (char16_t& unit : text) {
        unit = unit >= u'a' && unit <= u'z' ? char16_t(unit - u'a' + u'A') : unit;
    }
    return text;
}

std::u16string KeyOf(LPCSTR name)
{
    return IS_INTRESOURCE(name) ? KeyOf(WORD(reinterpret_cast<ULONG_PTR>(name)), u"")
                                : KeyOf(0, host_text::Widen(name));
}

bool Parse(const std::vector<unsigned char>& file, ResourceModule* module)
{
    ByteReader reader{file.data(), file.size()};
    bool first = true;
    while (reader.ok && reader.at < file.size()) {
        const size_t start = reader.at;
        const DWORD dataSize = reader.Dword();
        const DWORD headerSize = reader.Dword();
        WORD typeOrdinal, nameOrdinal;
        const std::u16string type = reader.NameOrOrdinal(&typeOrdinal);
        const std::u16string name = reader.NameOrOrdinal(&nameOrdinal);
        const size_t data = start + headerSize;
        if (!reader.ok || headerSize < reader.at - start || data > file.size()
            || dataSize > file.size() - data || first != (type.empty() && typeOrdinal == 0)) {
            return false;
        }
        if (!first) {
            module->resources[{KeyOf(typeOrdinal, type), KeyOf(nameOrdinal, name)}].assign(
                file.begin() + ptrdiff_t(data), file.begin() + ptrdiff_t(data + dataSize));
        }
        first = false;
        reader.at = data + dataSize;
        reader.Align(0);
    }
    return !first;
}

// A process that ends takes its modules' resources with it.
void DetachProcess(DWORD processId, BOOL)
{
    std::lock_guard<std::mutex> guard(resourceLock);
    std::erase_if(Modules(), [processId](const auto& entry) { return entry.second.process == processId; });
}

[[maybe_unused]] const bool registered = (HostK32RegisterProcessDetach(DetachProcess), true);

}  // namespace

bool LoadResourceData(HINSTANCE instance, LPCSTR type, LPCSTR name, std::vector<unsigned char>* data)
{
    std::lock_guard<std::mutex> guard(resourceLock);
    const auto module = Modules().find(instance);
    if (module == Modules().end() || module->second.process != GetCurrentProcessId()) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return false;
    }
    const auto found = module->second.resources.find({KeyOf(type), KeyOf(name)});
    if (found == module->second.resources.end()) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return false;
    }
    *data = found->second;
    return true;
}

}  // namespace host_user

using namespace host_user;

extern "C" HINSTANCE HostUser32LoadResources(LPCSTR resFile)
{
    std::ifstream in(resFile != nullptr ? resFile : "", std::ios::binary);
    if (!in) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    const std::vector<unsigned char> file{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    ResourceModule module{GetCurrentProcessId(), {}};
    if (!Parse(file, &module)) {
        SetLastError(ERROR_BAD_FORMAT);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(resourceLock);
    const auto instance = reinterpret_cast<HINSTANCE>(nextInstance);
    nextInstance += 0x10000;
    Modules()[instance] = std::move(module);
    return instance;
}
