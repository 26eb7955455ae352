// The program's own module path and its local memory.
#include <cstdlib>
#include <cstring>
#include <string>

#include "../board/board.h"
#include "../board/simtime.h"
#include "kernel_hal.h"
#include "kernel_objects.h"

using namespace sim;

namespace {

// Calls are counted per board the process runs on, so that "the N-th allocation fails" means the
// same in a new process and in a test that has just switched boards.
unsigned gLocalAllocCalls = 0;
std::string gLocalAllocBoard;

}  // namespace

// Null: the file the calling process was created from. The kernel's own services ask it of a
// process handle: the one user process here is the program's. The board's fault strikes the
// program's own question.
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    const Board& board = Board::current();
    if ((hModule && hModule != processHandle(ProcessContext::User)) ||
        (!hModule && board.config().faults.moduleFileNameFails)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::u16string path = fromUtf8(processIdentity().devicePath);
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

// Every program here has one thread: its end is the process's end, with the thread's exit code.
void ExitThread(DWORD dwExitCode) {
    sim::timeEndProcess();
    sim::releaseProcessObjects();
    std::exit(static_cast<int>(dwExitCode));
}

HLOCAL LocalAlloc(UINT uFlags, UINT uBytes) {
    if (Board::current().dir() != gLocalAllocBoard) {
        gLocalAllocBoard = Board::current().dir();
        gLocalAllocCalls = 0;
    }
    ++gLocalAllocCalls;
    for (uint32_t n : Board::current().config().faults.localAllocFail) {
        if (n == gLocalAllocCalls) {
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
