// 16-bit strings: NT's counted strings and the conversions to and from UTF-8 for the host.
#include "platform/kernel/host.h"
#include "platform/kernel/kernel_internal.h"

size_t wcslen16(PCWSTR s) {
    size_t n = 0;
    while (s[n] != 0) {
        n++;
    }
    return n;
}

void RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) {
        Destination->Length = 0;
        Destination->MaximumLength = 0;
        Destination->Buffer = nullptr;
        return;
    }
    // Counted in bytes in a USHORT, as on NT: longer strings are cut to what fits.
    size_t bytes = wcslen16(Source) * sizeof(WCHAR);
    if (bytes > 0xFFFC) {
        bytes = 0xFFFC;
    }
    Destination->Length = static_cast<USHORT>(bytes);
    Destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    Destination->Buffer = const_cast<PWSTR>(Source);
}

namespace qvk {

std::u16string toU16(const std::string& s) {
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        uint32_t cp;
        size_t extra;
        if (b < 0x80) {
            cp = b;
            extra = 0;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1Fu;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0Fu;
            extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07u;
            extra = 3;
        } else {
            out += u'\uFFFD';
            i++;
            continue;
        }
        if (i + extra >= s.size()) { // sequence cut off by the end
            out += u'\uFFFD';
            break;
        }
        bool bad = false;
        for (size_t k = 1; k <= extra; k++) {
            auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) {
                bad = true;
                break;
            }
            cp = (cp << 6) | (c & 0x3Fu);
        }
        if (bad) {
            out += u'\uFFFD';
            i++;
            continue;
        }
        i += extra + 1;
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else if (cp < 0x10000) {
            out += static_cast<char16_t>(cp);
        } else {
            out += u'\uFFFD';
        }
    }
    return out;
}

std::string fromU16(const std::u16string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
            i++;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::string fromU16(PCWSTR s) {
    if (s == nullptr) {
        return std::string();
    }
    return fromU16(std::u16string(s, wcslen16(s)));
}

} // namespace qvk

namespace qvk::detail {

std::string foldName(const std::u16string& s) {
    std::string folded = fromU16(s);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

} // namespace qvk::detail
