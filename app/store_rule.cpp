#include "store_rule.h"

#include "../rtc/rtc.h"
#include "messages.h"

int StoreMayWrite(const SYSTEMTIME* now) {
    // A year the chip's two digits cannot hold would come back a century off at the next boot:
    // better not to write it at all.
    if (!RtcYearFitsChip(now->wYear)) {
        OutputDebugStringW(g_msgSetError);
        return 0;
    }
    return 1;
}
