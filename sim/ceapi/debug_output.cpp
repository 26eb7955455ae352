// The debug output: every program's messages go to the board's debug log and to stderr.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "../board/board.h"
#include "kernel_objects.h"

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
            case u'x':
            case u'X': {
                const char* form = *p == u'u' ? "%u" : *p == u'x' ? "%x" : "%X";
                std::snprintf(buf, sizeof buf, form, va_arg(ap, unsigned));
                body = fromUtf8(buf);
                break;
            }
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

}  // namespace

void OutputDebugStringW(LPCWSTR lpOutputString) {
    if (lpOutputString) debugWrite(lpOutputString);
}

void NKvDbgPrintfW(LPCWSTR lpszFmt, va_list lpParms) {
    if (!lpszFmt) return;
    va_list ap;
    va_copy(ap, lpParms);
    std::u16string text = format(lpszFmt, ap);
    va_end(ap);
    debugWrite(text);
}

void NKDbgPrintfW(LPCWSTR lpszFmt, ...) {
    va_list ap;
    va_start(ap, lpszFmt);
    NKvDbgPrintfW(lpszFmt, ap);
    va_end(ap);
}
