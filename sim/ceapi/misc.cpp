// Debug output, wide strings, the module's own path and local memory.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../board/board.h"
#include "kernel_objects.h"

namespace sim {

std::string toUtf8(const std::u16string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string toUtf8(const WCHAR* s) {
    return s ? toUtf8(std::u16string(s)) : std::string();
}

std::u16string fromUtf8(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        uint32_t c;
        size_t n;
        if (b < 0x80) {
            c = b;
            n = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            n = 3;
        } else {
            c = b & 0x07;
            n = 4;
        }
        for (size_t k = 1; k < n && i + k < s.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += n;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

}  // namespace sim

using namespace sim;

namespace {

void debugWrite(const std::u16string& text) {
    const std::string utf8 = toUtf8(text);
    Board::current().appendDebugLog(utf8);
    std::fwrite(utf8.data(), 1, utf8.size(), stderr);
    std::fflush(stderr);
}

// printf-style formatting over wide strings, with the conversions the kernel's debug print
// knows: d i u x X c s (wide) hs (narrow) p %, flags - 0 + space, width and precision.
std::u16string format(const WCHAR* fmt, va_list ap) {
    std::u16string out;
    for (const WCHAR* p = fmt; *p; ++p) {
        if (*p != u'%') {
            out += *p;
            continue;
        }
        ++p;
        if (*p == u'%') {
            out += u'%';
            continue;
        }
        bool left = false, zero = false, plus = false, space = false;
        for (;; ++p) {
            if (*p == u'-')
                left = true;
            else if (*p == u'0')
                zero = true;
            else if (*p == u'+')
                plus = true;
            else if (*p == u' ')
                space = true;
            else
                break;
        }
        int width = 0;
        if (*p == u'*') {
            width = va_arg(ap, int);
            ++p;
        } else {
            while (*p >= u'0' && *p <= u'9') width = width * 10 + (*p++ - u'0');
        }
        int precision = -1;
        if (*p == u'.') {
            ++p;
            precision = 0;
            if (*p == u'*') {
                precision = va_arg(ap, int);
                ++p;
            } else {
                while (*p >= u'0' && *p <= u'9') precision = precision * 10 + (*p++ - u'0');
            }
        }
        bool narrow = false;
        while (*p == u'l' || *p == u'h' || *p == u'w') {
            if (*p == u'h') narrow = true;
            ++p;
        }
        if (!*p) break;
        std::u16string body;
        std::u16string sign;
        bool numeric = true;
        char buf[40];
        switch (*p) {
            case u'd':
            case u'i': {
                long long v = va_arg(ap, int);
                if (v < 0) {
                    sign = u"-";
                    v = -v;
                } else if (plus) {
                    sign = u"+";
                } else if (space) {
                    sign = u" ";
                }
                std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v));
                body = fromUtf8(buf);
                break;
            }
            case u'u':
                std::snprintf(buf, sizeof buf, "%u", va_arg(ap, unsigned));
                body = fromUtf8(buf);
                break;
            case u'x':
                std::snprintf(buf, sizeof buf, "%x", va_arg(ap, unsigned));
                body = fromUtf8(buf);
                break;
            case u'X':
                std::snprintf(buf, sizeof buf, "%X", va_arg(ap, unsigned));
                body = fromUtf8(buf);
                break;
            case u'p':
                std::snprintf(buf, sizeof buf, "%08X",
                              static_cast<unsigned>(reinterpret_cast<uintptr_t>(va_arg(ap, void*))));
                body = fromUtf8(buf);
                break;
            case u'c':
                numeric = false;
                body = std::u16string(1, static_cast<char16_t>(va_arg(ap, int)));
                break;
            case u's':
            case u'S': {
                numeric = false;
                if (narrow || *p == u'S') {
                    const char* s = va_arg(ap, const char*);
                    body = s ? fromUtf8(s) : u"(null)";
                } else {
                    const WCHAR* s = va_arg(ap, const WCHAR*);
                    body = s ? std::u16string(s) : u"(null)";
                }
                if (precision >= 0 && body.size() > static_cast<size_t>(precision)) body.resize(precision);
                break;
            }
            default:  // unknown conversion: shown as written
                out += u'%';
                out += *p;
                continue;
        }
        if (numeric && precision >= 0) {
            if (precision == 0 && body == u"0") body.clear();
            while (body.size() < static_cast<size_t>(precision)) body.insert(body.begin(), u'0');
            zero = false;
        }
        size_t len = sign.size() + body.size();
        if (static_cast<size_t>(width) > len) {
            size_t pad = width - len;
            if (left)
                body.append(pad, u' ');
            else if (zero && numeric)
                body.insert(body.begin(), pad, u'0');
            else
                sign.insert(sign.begin(), pad, u' ');
        }
        out += sign;
        out += body;
    }
    return out;
}

// Calls are counted per board the process runs on, so that "the N-th allocation fails" means the
// same in a new process and in a test that has just switched boards.
unsigned gLocalAllocCalls = 0;
std::string gLocalAllocBoard;

}  // namespace

void OutputDebugStringW(LPCWSTR lpOutputString) {
    if (lpOutputString) debugWrite(lpOutputString);
}

void NKDbgPrintfW(LPCWSTR lpszFmt, ...) {
    if (!lpszFmt) return;
    va_list ap;
    va_start(ap, lpszFmt);
    std::u16string text = format(lpszFmt, ap);
    va_end(ap);
    debugWrite(text);
}

size_t wcslen(const WCHAR* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

int wcscmp(const WCHAR* a, const WCHAR* b) {
    while (*a && *a == *b) ++a, ++b;
    return (*a > *b) - (*a < *b);
}

namespace {
WCHAR lower(WCHAR c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + 32) : c;
}
WCHAR upper(WCHAR c) {
    return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - 32) : c;
}
}  // namespace

int _wcsicmp(const WCHAR* a, const WCHAR* b) {
    while (*a && lower(*a) == lower(*b)) ++a, ++b;
    const WCHAR x = lower(*a), y = lower(*b);
    return (x > y) - (x < y);
}

WCHAR* _wcsupr(WCHAR* s) {
    for (WCHAR* p = s; *p; ++p) *p = upper(*p);
    return s;
}

WCHAR* _wcslwr(WCHAR* s) {
    for (WCHAR* p = s; *p; ++p) *p = lower(*p);
    return s;
}

DWORD GetModuleFileNameW(HMODULE, LPWSTR lpFilename, DWORD nSize) {
    const Board& board = Board::current();
    if (board.config().faults.value("moduleFileName", std::string()) == "fail") {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::u16string path = fromUtf8(board.config().programPath);
    if (nSize == 0 || !lpFilename) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // Like the platform: a path that does not fit is cut to the buffer and still terminated.
    size_t n = path.size() < nSize ? path.size() : nSize - 1;
    std::memcpy(lpFilename, path.data(), n * sizeof(WCHAR));
    lpFilename[n] = 0;
    return static_cast<DWORD>(n);
}

HLOCAL LocalAlloc(UINT uFlags, UINT uBytes) {
    if (Board::current().dir() != gLocalAllocBoard) {
        gLocalAllocBoard = Board::current().dir();
        gLocalAllocCalls = 0;
    }
    ++gLocalAllocCalls;
    const json& faults = Board::current().config().faults;
    if (faults.contains("localAllocFail")) {
        for (const json& n : faults["localAllocFail"])
            if (n.is_number_unsigned() && n.get<unsigned>() == gLocalAllocCalls) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return nullptr;
            }
    }
    void* p =
        (uFlags & LMEM_ZEROINIT) ? std::calloc(uBytes ? uBytes : 1, 1) : std::malloc(uBytes ? uBytes : 1);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}
