// The registry of the system root, NT's configuration manager, as the
// stand-in DLLs reach it: what NtOpenKey, NtQueryValueKey, NtSetValueKey,
// NtEnumerateValueKey and NtDeleteValueKey do on Windows. advapi32's Reg*
// calls and kernel32's MoveFileEx use it. C++ only. Not for product code.
//
// Keys are paths below \Registry\Machine, backslash-separated; names of keys
// and values compare without case. Values of every type are bytes.
#pragma once

#include <stdint.h>

#include <string>

namespace host_cm {

struct Value {
    std::string name;
    uint32_t type;
    std::string data;
};

// Whether the key, or a key below it, exists.
bool KeyExists(const std::string& key);
// false when the key or the value does not exist.
bool QueryValue(const std::string& key, const std::string& name, Value* value);
// The index-th value in the order values were first set; false past the end.
bool EnumerateValue(const std::string& key, uint32_t index, Value* value);
// Sets the value, making the key if needed; false when the hive cannot be
// written.
bool SetValue(const std::string& key, const Value& value);
// false when the key or the value does not exist.
bool DeleteValue(const std::string& key, const std::string& name);

}  // namespace host_cm
