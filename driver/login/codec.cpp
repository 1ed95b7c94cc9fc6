// The key=value text codec: reading values (decimal and hexadecimal numbers with their quirks),
// writing numbers, and walking, picking and removing pairs of key=value text.
#include "driver/login/login.h"

#include <cstring>

namespace {

bool isDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

// Value of a hexadecimal digit (small letters only), or -1.
int hexDigitValue(char c) {
    if (isDecimalDigit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

} // namespace

char* pastEquals(char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    char* value = strchr(text, '=');
    if (value == nullptr) {
        return nullptr;
    }
    value++;
    while (*value == ' ') {
        value++;
    }
    return value;
}

const char* pastEquals(const char* text) {
    return pastEquals(const_cast<char*>(text));
}

bool numeric(const char* value) {
    while (*value == ' ') {
        value++;
    }
    return isDecimalDigit(*value);
}

BOOLEAN CharToInteger(const char* value, ULONG* number) {
    ULONG n = 0;
    for (const char* p = value; *p != '\0'; p++) {
        char c = *p;
        if (isDecimalDigit(c)) {
            // A number that does not fit 32 bits is refused, never wrapped into another one.
            if (n > (0xFFFFFFFFu - static_cast<ULONG>(c - '0')) / 10) {
                return TRUE;
            }
            n = n * 10 + static_cast<ULONG>(c - '0');
        } else if (c == ',' || c == ';') {
            // A list of numbers: the first one that is not zero counts.
            if (n != 0) {
                break;
            }
        } else if (c != ' ') {
            return TRUE;
        }
    }
    *number = n;
    return FALSE;
}

BOOLEAN HexCharToInteger(char* value, ULONG* number) {
    makeLowerCase(value);
    const char* p = value;
    while (*p == ' ') {
        p++;
    }
    if (p[0] == '0' && p[1] == 'x') {
        p += 2;
    }
    ULONG n = 0;
    for (; *p != '\0'; p++) {
        char c = *p;
        int digit = hexDigitValue(c);
        if (digit >= 0) {
            if (n > 0x0FFFFFFFu) {
                return TRUE;
            }
            n = n * 16 + static_cast<ULONG>(digit);
        } else if (c == ',') {
            if (n != 0) {
                break;
            }
        } else if (c != ' ') {
            return TRUE;
        }
    }
    *number = n;
    return FALSE;
}

void makeLowerCase(char* text) {
    for (char* p = text; *p != '\0'; p++) {
        if (*p >= 'A' && *p <= 'Z') {
            *p = static_cast<char>(*p - 'A' + 'a');
        }
    }
}

void IntegerToChar(USHORT number, char* buffer) {
    char digits[INTEGER_TEXT_SIZE];
    int count = 0;
    ULONG n = number;
    do {
        digits[count++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    for (int i = 0; i < count; i++) {
        buffer[i] = digits[count - 1 - i];
    }
    buffer[count] = '\0';
}

char* FindNextParam(char* pair, LONG* remaining) {
    if (*remaining <= 0) {
        return nullptr;
    }
    // A pair without its NUL inside the text runs to the end of the walk.
    auto length = static_cast<LONG>(strnlen(pair, static_cast<size_t>(*remaining)));
    *remaining -= length + 1;
    if (*remaining <= 0) {
        return nullptr;
    }
    char* next = pair + length + 1;
    if (*next == '\0') {
        return nullptr;
    }
    return next;
}

int buildString(char* destination, ULONG capacity, const char* source, const char* key,
                const char* separator, ULONG* length) {
    const char* start = strstr(source, key);
    if (start == nullptr) {
        return 0;
    }
    const char* end = strstr(start, separator);
    if (end == nullptr) {
        return 0;
    }
    end += strlen(separator);
    auto count = static_cast<ULONG>(end - start);
    if (*length > capacity || count > capacity - *length) {
        return ISCSI_FAILURE;
    }
    memcpy(destination + *length, start, count);
    *length += count;
    return 0;
}

void discard_substr(char* buffer, const char* key, const char* separator, ULONG* length) {
    char* start = strstr(buffer, key);
    if (start == nullptr) {
        return;
    }
    char* end = strstr(start + strlen(key), separator);
    if (end == nullptr) {
        return;
    }
    end += strlen(separator);
    auto endOffset = static_cast<ULONG>(end - buffer);
    if (endOffset > *length) {
        return;
    }
    auto removed = static_cast<ULONG>(end - start);
    memmove(start, end, *length + 1 - endOffset);
    *length -= removed;
    buffer[*length] = '\0';
}

void discardSecurityInfo(char* buffer, ULONG* length) {
    static const char* const loginRequestKeys[] = {"TargetName", "InitiatorName", "DataDigest",
                                                   "HeaderDigest", "AuthMethod"};
    for (const char* key : loginRequestKeys) {
        discard_substr(buffer, key, ";", length);
    }
}
