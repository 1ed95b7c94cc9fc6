// The in-memory registry: a tree of keys under the services key, names compared without regard
// to case as on NT, and RtlQueryRegistryValues for direct stores of REG_DWORD values.
//
// Query rules: a missing key fails the whole query with STATUS_OBJECT_NAME_NOT_FOUND and stores
// nothing, with or without RTL_REGISTRY_OPTIONAL (the flag only tells NT that the caller expects
// this). A present REG_DWORD value is stored; a missing one takes its REG_DWORD default when the
// entry has one (DefaultData non-null); without a default a REQUIRED entry ends the query with
// STATUS_OBJECT_NAME_NOT_FOUND (earlier entries keep what was stored) and an optional one is
// skipped. A value of another type for a direct entry ends the query with
// STATUS_OBJECT_TYPE_MISMATCH. Tables using anything outside this subset are refused with
// STATUS_INVALID_PARAMETER before anything is stored.
#include "platform/kernel/host.h"
#include "platform/kernel/kernel_internal.h"

#include <map>
#include <memory>
#include <mutex>

namespace {

struct RegValue {
    ULONG type = REG_NONE;
    uint32_t dword = 0;
    std::u16string text;
};

struct RegKey {
    std::map<std::string, std::unique_ptr<RegKey>> subkeys; // by folded name
    std::map<std::string, RegValue> values;                 // by folded name
};

// Guarded by registryMutex: the whole tree under services.
struct RegistryState {
    std::mutex registryMutex;
    RegKey services;
};

RegistryState& state() {
    static RegistryState* s = new RegistryState;
    return *s;
}

std::string foldAscii(const std::string& s) {
    std::string folded = s;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

// Walks (and with create, makes) the key at a backslash-separated path; empty components are
// skipped. Called with registryMutex held.
RegKey* findKey(RegKey& root, const std::string& path, bool create) {
    RegKey* key = &root;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find('\\', pos);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > pos) {
            std::string name = foldAscii(path.substr(pos, end - pos));
            auto it = key->subkeys.find(name);
            if (it == key->subkeys.end()) {
                if (!create) {
                    return nullptr;
                }
                it = key->subkeys.emplace(name, std::make_unique<RegKey>()).first;
            }
            key = it->second.get();
        }
        pos = end + 1;
    }
    return key;
}

constexpr ULONG kSupportedFlags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;

bool entrySupported(const RTL_QUERY_REGISTRY_TABLE& e) {
    return e.QueryRoutine == nullptr && (e.Flags & ~kSupportedFlags) == 0 &&
           (e.Flags & RTL_QUERY_REGISTRY_DIRECT) != 0 && e.EntryContext != nullptr &&
           (e.DefaultType == REG_NONE || e.DefaultType == REG_DWORD);
}

} // namespace

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID, PVOID) {
    if ((RelativeTo & ~RTL_REGISTRY_OPTIONAL) != RTL_REGISTRY_SERVICES || Path == nullptr ||
        QueryTable == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    for (PRTL_QUERY_REGISTRY_TABLE e = QueryTable; e->QueryRoutine != nullptr || e->Name != nullptr;
         e++) {
        if (e->Name == nullptr || !entrySupported(*e)) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    RegistryState& s = state();
    std::lock_guard<std::mutex> guard(s.registryMutex);
    RegKey* key = findKey(s.services, qvk::fromU16(Path), false);
    if (key == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    for (PRTL_QUERY_REGISTRY_TABLE e = QueryTable; e->Name != nullptr; e++) {
        auto* target = static_cast<ULONG*>(e->EntryContext);
        auto it = key->values.find(foldAscii(qvk::fromU16(e->Name)));
        if (it != key->values.end()) {
            if (it->second.type != REG_DWORD) {
                return STATUS_OBJECT_TYPE_MISMATCH;
            }
            *target = it->second.dword;
        } else if (e->DefaultType == REG_DWORD && e->DefaultData != nullptr) {
            *target = *static_cast<const ULONG*>(e->DefaultData);
        } else if ((e->Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }
    return STATUS_SUCCESS;
}

namespace qvk {

void registrySetDword(const std::string& path, const std::string& name, uint32_t value) {
    RegistryState& s = state();
    std::lock_guard<std::mutex> guard(s.registryMutex);
    RegValue& v = findKey(s.services, path, true)->values[foldAscii(name)];
    v.type = REG_DWORD;
    v.dword = value;
    v.text.clear();
}

void registrySetString(const std::string& path, const std::string& name, const std::string& value) {
    RegistryState& s = state();
    std::lock_guard<std::mutex> guard(s.registryMutex);
    RegValue& v = findKey(s.services, path, true)->values[foldAscii(name)];
    v.type = REG_SZ;
    v.dword = 0;
    v.text = toU16(value);
}

void registryCreateKey(const std::string& path) {
    RegistryState& s = state();
    std::lock_guard<std::mutex> guard(s.registryMutex);
    findKey(s.services, path, true);
}

void registryClear() {
    RegistryState& s = state();
    std::lock_guard<std::mutex> guard(s.registryMutex);
    s.services.subkeys.clear();
    s.services.values.clear();
}

} // namespace qvk
