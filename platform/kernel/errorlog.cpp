// The error log: entries are allocated zeroed, filled by the driver and written; a written entry
// is kept with its id, its insertion strings, its raw bytes and the text rendered from the
// registered message table, where the host and the tests can list it.
#include "platform/kernel/host.h"
#include "platform/kernel/kernel_internal.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace {

constexpr uint32_t kEntryMagic = 0x474f4c45; // "ELOG"

// In front of each entry handed out; the caller's bytes follow it.
struct alignas(16) EntryHeader {
    uint32_t magic;
    uint32_t size;
    PVOID ioObject;
};

// Guarded by logMutex: all of it.
struct ErrorLogState {
    std::mutex logMutex;
    std::unordered_set<const EntryHeader*> outstanding; // allocated, not yet written
    std::vector<qvk::ErrorLogEntry> entries;
    qvk::MessageTextLookup lookup = nullptr;
    std::string driverName;
    int failNext = 0;
};

ErrorLogState& state() {
    static ErrorLogState* s = new ErrorLogState;
    return *s;
}

// Reads the insertion strings: `count` NUL-terminated 16-bit strings from `offset`, never past
// the entry; a string cut off by the end of the entry is kept as far as it goes.
std::vector<std::u16string> readStrings(const uint8_t* entry, size_t size, size_t offset,
                                        unsigned count) {
    std::vector<std::u16string> strings;
    size_t pos = offset;
    for (unsigned i = 0; i < count && pos + 2 <= size; i++) {
        std::u16string s;
        bool ended = false;
        while (pos + 2 <= size) {
            char16_t c;
            std::memcpy(&c, entry + pos, 2);
            pos += 2;
            if (c == 0) {
                ended = true;
                break;
            }
            s += c;
        }
        strings.push_back(std::move(s));
        if (!ended) {
            break;
        }
    }
    return strings;
}

// Replaces %1 by the driver name and %2, %3 by the insertion strings; an insertion that has no
// string stays as written.
std::string render(const char* text, const std::string& driverName,
                   const std::vector<std::u16string>& strings) {
    std::string out;
    for (const char* p = text; *p != 0; p++) {
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '3') {
            if (p[1] == '1') {
                out += driverName;
                p++;
                continue;
            }
            size_t index = static_cast<size_t>(p[1] - '2');
            if (index < strings.size()) {
                out += qvk::fromU16(strings[index]);
                p++;
                continue;
            }
        }
        out += *p;
    }
    return out;
}

} // namespace

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
    if (IoObject == nullptr || EntrySize < sizeof(IO_ERROR_LOG_PACKET) ||
        EntrySize > ERROR_LOG_MAXIMUM_SIZE) {
        return nullptr;
    }
    ErrorLogState& s = state();
    std::lock_guard<std::mutex> guard(s.logMutex);
    if (s.failNext > 0) {
        s.failNext--;
        return nullptr;
    }
    auto* header = static_cast<EntryHeader*>(std::calloc(1, sizeof(EntryHeader) + EntrySize));
    if (header == nullptr) {
        return nullptr;
    }
    header->magic = kEntryMagic;
    header->size = EntrySize;
    header->ioObject = IoObject;
    s.outstanding.insert(header);
    return header + 1;
}

void IoWriteErrorLogEntry(PVOID ElEntry) {
    if (ElEntry == nullptr) {
        qvk::detail::fatal("IoWriteErrorLogEntry of a null entry");
    }
    EntryHeader* header = static_cast<EntryHeader*>(ElEntry) - 1;
    ErrorLogState& s = state();
    std::string driverName;
    {
        std::lock_guard<std::mutex> guard(s.logMutex);
        if (s.outstanding.erase(header) == 0 || header->magic != kEntryMagic) {
            qvk::detail::fatal("IoWriteErrorLogEntry of %p, which is not an allocated entry",
                               ElEntry);
        }
        driverName = s.driverName;
    }
    if (driverName.empty()) {
        driverName = qvk::detail::driverNameOf(header->ioObject);
    }
    const auto* bytes = static_cast<const uint8_t*>(ElEntry);
    IO_ERROR_LOG_PACKET packet;
    std::memcpy(&packet, bytes, sizeof packet);

    qvk::ErrorLogEntry entry;
    entry.errorCode = static_cast<uint32_t>(packet.ErrorCode);
    entry.uniqueErrorValue = packet.UniqueErrorValue;
    entry.raw.assign(bytes, bytes + header->size);
    entry.strings = readStrings(bytes, header->size, packet.StringOffset, packet.NumberOfStrings);
    header->magic = 0;
    std::free(header);

    std::lock_guard<std::mutex> guard(s.logMutex);
    const char* text = s.lookup != nullptr ? s.lookup(entry.errorCode) : nullptr;
    if (text != nullptr) {
        entry.text = render(text, driverName, entry.strings);
    }
    s.entries.push_back(std::move(entry));
}

namespace qvk {

void errorLogSetMessageTable(MessageTextLookup lookup) {
    ErrorLogState& s = state();
    std::lock_guard<std::mutex> guard(s.logMutex);
    s.lookup = lookup;
}

std::vector<ErrorLogEntry> errorLogEntries() {
    ErrorLogState& s = state();
    std::lock_guard<std::mutex> guard(s.logMutex);
    return s.entries;
}

void errorLogClear() {
    ErrorLogState& s = state();
    std::lock_guard<std::mutex> guard(s.logMutex);
    s.entries.clear();
}

void errorLogFailNext(int n) {
    ErrorLogState& s = state();
    std::lock_guard<std::mutex> guard(s.logMutex);
    s.failNext = n < 0 ? 0 : n;
}

void errorLogSetDriverName(const std::string& name) {
    ErrorLogState& s = state();
    std::lock_guard<std::mutex> guard(s.logMutex);
    s.driverName = name;
}

} // namespace qvk
