// The registry below \Registry\Machine. The hive lives in the system root, in
// Registry/Machine, so that it outlives a shutdown; every call reads it and
// every change writes it back whole (one small file; tests run apart, each
// in its own root). A fresh hive holds the keys a fresh installation has
// that the system's programs use: the WinMM driver list (Drivers32) and the
// Session Manager's key, where MoveFileEx keeps the file operations of the
// next boot. hiveLock guards the file.
#include <strings.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "host/cm_user.h"
#include "host/io_control.h"

namespace fs = std::filesystem;

namespace {

struct Key {
    std::string path;
    std::vector<host_cm::Value> values;
};

using Hive = std::vector<Key>;

const char* const kFreshKeys[] = {
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32",
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager",
};

std::mutex hiveLock;

bool SameName(const std::string& a, const std::string& b)
{
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

fs::path HivePath()
{
    return fs::path(HostIoGetSystemRoot()) / "Registry" / "Machine";
}

std::string Hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 0xF];
    }
    return text;
}

std::string Unhex(const std::string& text)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes += char(std::stoi(text.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

// "[key path]" lines, each followed by its values as
// "<hex name> <type> <hex data>" lines. hiveLock held.
Hive Load()
{
    Hive hive;
    std::ifstream file(HivePath());
    if (!file) {
        for (const char* path : kFreshKeys) {
            hive.push_back(Key{path, {}});
        }
        return hive;
    }
    std::string line;
    while (std::getline(file, line)) {
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            hive.push_back(Key{line.substr(1, line.size() - 2), {}});
            continue;
        }
        std::istringstream fields(line);
        std::string name;
        std::string data;
        uint32_t type = 0;
        if (!hive.empty() && fields >> name >> type) {
            fields >> data;
            hive.back().values.push_back(host_cm::Value{Unhex(name), type, Unhex(data)});
        }
    }
    return hive;
}

bool Save(const Hive& hive)   // hiveLock held
{
    std::error_code error;
    fs::create_directories(HivePath().parent_path(), error);
    const fs::path written = HivePath().string() + ".new";
    {
        std::ofstream file(written, std::ios::trunc);
        for (const Key& key : hive) {
            file << '[' << key.path << "]\n";
            for (const host_cm::Value& value : key.values) {
                file << Hex(value.name) << ' ' << value.type << ' ' << Hex(value.data) << '\n';
            }
        }
        if (!file) {
            return false;
        }
    }
    fs::rename(written, HivePath(), error);
    return !error;
}

Key* FindKey(Hive* hive, const std::string& path)
{
    for (Key& key : *hive) {
        if (SameName(key.path, path)) {
            return &key;
        }
    }
    return nullptr;
}

// The value of that name in the key; null when there is none.
host_cm::Value* FindValue(Key* key, const std::string& name)
{
    for (host_cm::Value& value : key->values) {
        if (SameName(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

// The value and its key in the hive; null when either is missing.
host_cm::Value* FindValue(Hive* hive, const std::string& path, const std::string& name,
                          Key** key)
{
    *key = FindKey(hive, path);
    return *key != nullptr ? FindValue(*key, name) : nullptr;
}

}  // namespace

namespace host_cm {

bool KeyExists(const std::string& path)
{
    std::lock_guard<std::mutex> guard(hiveLock);
    if (path.empty()) {
        return true;
    }
    for (const Key& key : Load()) {
        if (SameName(key.path, path)
            || (key.path.size() > path.size() && key.path[path.size()] == '\\'
                && SameName(key.path.substr(0, path.size()), path))) {
            return true;
        }
    }
    return false;
}

bool QueryValue(const std::string& path, const std::string& name, Value* value)
{
    std::lock_guard<std::mutex> guard(hiveLock);
    Hive hive = Load();
    Key* key = nullptr;
    const Value* found = FindValue(&hive, path, name, &key);
    if (found != nullptr) {
        *value = *found;
    }
    return found != nullptr;
}

bool EnumerateValue(const std::string& path, uint32_t index, Value* value)
{
    std::lock_guard<std::mutex> guard(hiveLock);
    Hive hive = Load();
    Key* key = FindKey(&hive, path);
    if (key == nullptr || index >= key->values.size()) {
        return false;
    }
    *value = key->values[index];
    return true;
}

bool SetValue(const std::string& path, const Value& value)
{
    std::lock_guard<std::mutex> guard(hiveLock);
    Hive hive = Load();
    Key* key = FindKey(&hive, path);
    if (key == nullptr) {
        hive.push_back(Key{path, {}});
        key = &hive.back();
    }
    Value* found = FindValue(key, value.name);
    if (found != nullptr) {
        found->type = value.type;
        found->data = value.data;
    } else {
        key->values.push_back(value);
    }
    return Save(hive);
}

bool DeleteValue(const std::string& path, const std::string& name)
{
    std::lock_guard<std::mutex> guard(hiveLock);
    Hive hive = Load();
    Key* key = nullptr;
    const Value* found = FindValue(&hive, path, name, &key);
    if (found == nullptr) {
        return false;
    }
    key->values.erase(key->values.begin() + (found - key->values.data()));
    return Save(hive);
}

}  // namespace host_cm
