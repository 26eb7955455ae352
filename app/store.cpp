#include "store.h"

#include "messages.h"

void StoreWrite(ChipRun* run) {
    if (!run->entry->write(&run->time, run->slave)) {
        OutputDebugStringW(g_msgSetError);
        return;
    }
    PrintTime(g_fmtTimeSet, &run->time);
}
