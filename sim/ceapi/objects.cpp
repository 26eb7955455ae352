// Handles, events, named mutexes, waits and the thread's last error.
//
// A named mutex is shared by every process on the board through two lock files in the board's
// objects/ directory: each process that has the mutex open holds a shared lock on "<name>.open"
// (so a creator can tell whether anybody else has it open), and the owner holds an exclusive
// lock on "<name>.own". The host kernel drops both when a process dies, which is the platform's
// "a mutex is released when its owning thread ends".
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "../board/board.h"
#include "../board/cpu.h"
#include "../board/simtime.h"
#include "kernel_objects.h"

namespace sim {

namespace {

thread_local DWORD tLastError = 0;

struct MutexObject : KObject {
    MutexObject() : KObject(ObjKind::Mutex) {}
    ~MutexObject() override {
        if (ownFd >= 0) ::close(ownFd);
        if (openFd >= 0) ::close(openFd);
        if (holdFd >= 0) ::close(holdFd);
    }
    std::string name;
    int openFd = -1;
    int ownFd = -1;
    int holdFd = -1;         // the note of a sleeping owner on a frozen board (see below)
    unsigned recursion = 0;  // > 0 while this process owns it
    uint64_t ownedSinceNs = 0;
};

// How long each named mutex was held, for measurements (the accuracy benchmark): when the
// environment names a file in TAMBLIN_MUTEX_LOG, every release appends "<name> <from> <to>" in
// board uptime nanoseconds. Nothing else reads it.
void logMutexHold(const MutexObject& m) {
    const char* file = std::getenv("TAMBLIN_MUTEX_LOG");
    if (!file || !*file) return;
    if (FILE* f = std::fopen(file, "a")) {
        std::fprintf(f, "%s %llu %llu\n", m.name.c_str(), static_cast<unsigned long long>(m.ownedSinceNs),
                     static_cast<unsigned long long>(nowNs()));
        std::fclose(f);
    }
}

struct ProcessObject : KObject {
    explicit ProcessObject(ProcessContext c) : KObject(ObjKind::Process), ctx(c) {}
    ProcessContext ctx;
};

struct Tables {
    ProcessContext current = ProcessContext::User;
    uint32_t nextHandle = 0x00000104;
    std::map<uint32_t, std::shared_ptr<KObject>> table[2];
    std::map<std::string, std::weak_ptr<MutexObject>> mutexes;  // by name, for this process
    std::map<std::string, std::weak_ptr<EventObject>> events;   // named events of this process
};

Tables& tables() {
    static Tables t;
    return t;
}

// Process handles as the kernel data page shows them, and where it shows the current one
// (the platform's user-visible kernel data page starts at 0xFFFFC800; its handle table holds the
// current process at word 3).
constexpr uint32_t kUserProcessHandle = 0x42A6F00Au;
constexpr uint32_t kKernelProcessHandle = 0x00FFF002u;
constexpr uint32_t kKDataCurrentProcess = 0xFFFFC80Cu;
// A process starts in its own context.
const bool gKDataPublished = (cpu::writeKDataWord(kKDataCurrentProcess, kUserProcessHandle), true);

std::string objectFile(const std::string& name, const char* suffix) {
    std::string safe;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '-' || c == '_') {
            safe += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            safe += buf;
        }
    }
    return Board::current().path("objects/mutex-" + safe + suffix);
}

int openLockFile(const std::string& path) {
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

int flockRetry(int fd, int op) {
    int r;
    do r = ::flock(fd, op);
    while (r != 0 && errno == EINTR);
    return r;
}

std::shared_ptr<EventObject> apiReadyEvent() {
    const BoardConfig& c = Board::current().config();
    auto ev = std::make_shared<EventObject>(true, false);
    ev->name = "system/events/notify/APIReady";
    ev->boardDriven = true;
    if (c.apiReady == ApiReady::AtStart) ev->readyAtNs = 0;
    if (c.apiReady == ApiReady::AfterMs) ev->readyAtNs = static_cast<uint64_t>(c.apiReadyAfterMs) * 1000000u;
    return ev;
}

void refreshBoardEvent(EventObject& ev) {
    if (ev.boardDriven && !ev.signalled && ev.readyAtNs && nowNs() >= *ev.readyAtNs) ev.signalled = true;
}

DWORD waitEvent(EventObject& ev, DWORD ms) {
    const uint64_t start = nowNs();
    const bool infinite = ms == INFINITE;
    const uint64_t deadline = infinite ? UINT64_MAX : start + static_cast<uint64_t>(ms) * 1000000u;
    for (;;) {
        runDue();
        refreshBoardEvent(ev);
        if (ev.signalled) {
            if (!ev.manualReset) ev.signalled = false;
            return WAIT_OBJECT_0;
        }
        std::optional<uint64_t> next = nextEventNs();
        if (ev.boardDriven && ev.readyAtNs && (!next || *ev.readyAtNs < *next)) next = ev.readyAtNs;
        if (next && *next <= deadline) {
            sleepUntilNs(*next > nowNs() ? *next : nowNs());
            continue;
        }
        if (infinite) {
            if (virtualTiming())
                boardFault("WaitForSingleObject(INFINITE) on " +
                           (ev.name.empty() ? std::string("an event") : "\"" + ev.name + "\"") +
                           " that nothing will ever signal: on the device this process would hang for ever");
            sleepUntilNs(nowNs() + 1000000000u);  // real board: hang, as the device would,
            Board::current().readState();         // until the board goes off under the program
            continue;
        }
        sleepUntilNs(deadline);
        runDue();
        refreshBoardEvent(ev);
        if (ev.signalled) {
            if (!ev.manualReset) ev.signalled = false;
            return WAIT_OBJECT_0;
        }
        return WAIT_TIMEOUT;
    }
}

// ---- Holds in board time ----------------------------------------------------------------------
// On a frozen board every process keeps a clock of its own, and a sleep passes in no real time at
// all: an owner of a named mutex that sleeps would let go at once, and a process waiting for it
// with a timeout could not tell a long hold from a short one. So an owner that sleeps says until
// when, in board time, in "<name>.hold", which it keeps locked until it releases the mutex. A
// process that waits for the mutex reads it: when its timeout ends first, it gives up at once with
// its clock at its timeout; otherwise it moves its clock to the owner's time and asks the owner to
// go on ("<name>.due"), and waits for the release without its clock moving. The owner's sleep ends
// when asked, or after its length in real time when nobody asks.

// The board time until which the mutex's owner sleeps, while the owner says so.
std::optional<uint64_t> ownerSleepsUntil(const MutexObject& m) {
    const int fd = ::open(objectFile(m.name, ".hold").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<uint64_t> until;
    // A note nobody holds locked is left from an owner that has let go, or died.
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        char text[24] = {};
        if (::pread(fd, text, sizeof text - 1, 0) > 0) until = std::strtoull(text, nullptr, 10);
    }
    ::close(fd);
    return until;
}

void askOwnerToGoOn(const MutexObject& m) {
    const int fd = ::open(objectFile(m.name, ".due").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
}

// A sleep until board time `until` of a process on a frozen board; its real part, when it owns
// named mutexes.
void sleepOwningMutexes(uint64_t until, DWORD ms) {
    std::vector<std::string> owned;
    for (const auto& [name, weak] : tables().mutexes) {
        const std::shared_ptr<MutexObject> m = weak.lock();
        if (!m || m->recursion == 0) continue;
        if (m->holdFd < 0) m->holdFd = openLockFile(objectFile(name, ".hold"));
        if (m->holdFd < 0) continue;
        ::unlink(objectFile(name, ".due").c_str());
        flockRetry(m->holdFd, LOCK_EX);
        const std::string text = std::to_string(until);
        if (::ftruncate(m->holdFd, 0) != 0 || ::pwrite(m->holdFd, text.data(), text.size(), 0) < 0) continue;
        owned.push_back(name);
    }
    const uint64_t limitUs = static_cast<uint64_t>(ms) * 1000u;
    for (uint64_t waitedUs = 0; !owned.empty() && waitedUs < limitUs; waitedUs += 1000) {
        bool asked = false;
        for (const std::string& name : owned)
            asked = asked || ::access(objectFile(name, ".due").c_str(), F_OK) == 0;
        if (asked) break;
        ::usleep(1000);
    }
    for (const std::string& name : owned) ::unlink(objectFile(name, ".due").c_str());
}

// The mutex is released: its note, if it had one, no longer holds.
void dropHoldNote(MutexObject& m) {
    if (m.holdFd < 0) return;
    ::unlink(objectFile(m.name, ".hold").c_str());
    ::close(m.holdFd);
    m.holdFd = -1;
}

DWORD waitMutex(MutexObject& m, DWORD ms) {
    if (m.recursion > 0) {
        ++m.recursion;
        return WAIT_OBJECT_0;
    }
    if (m.ownFd < 0) m.ownFd = openLockFile(objectFile(m.name, ".own"));
    if (m.ownFd < 0) {
        tLastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    const bool virt = virtualTiming();
    const uint64_t deadline = ms == INFINITE ? UINT64_MAX : nowNs() + static_cast<uint64_t>(ms) * 1000000u;
    // Another process can only release it in real time, so a finite wait polls in real time and
    // moves a virtual clock along by the same amount (but not while an owner that said until when
    // it holds the mutex goes on to release it).
    const uint64_t limitUs = static_cast<uint64_t>(ms) * 1000u;
    uint64_t waitedUs = 0;
    bool asked = false;
    for (;;) {
        if (flockRetry(m.ownFd, LOCK_EX | LOCK_NB) == 0) {
            m.recursion = 1;
            m.ownedSinceNs = nowNs();
            return WAIT_OBJECT_0;
        }
        if (errno != EWOULDBLOCK) return WAIT_FAILED;
        const std::optional<uint64_t> until = virt ? ownerSleepsUntil(m) : std::nullopt;
        if (until && !asked) {
            if (*until > deadline) {
                sleepUntilNs(deadline);
                return WAIT_TIMEOUT;
            }
            sleepUntilNs(*until);
            askOwnerToGoOn(m);
            asked = true;
        }
        if (ms == INFINITE) {
            if (flockRetry(m.ownFd, LOCK_EX) != 0) return WAIT_FAILED;
            m.recursion = 1;
            m.ownedSinceNs = nowNs();
            return WAIT_OBJECT_0;
        }
        if (until) {
            ::usleep(1000);
            continue;
        }
        if (waitedUs >= limitUs) return WAIT_TIMEOUT;
        ::usleep(1000);
        waitedUs += 1000;
        if (virt) advanceNs(1000000u);
    }
}

}  // namespace

ProcessContext currentContext() {
    return tables().current;
}
void setCurrentContext(ProcessContext ctx) {
    tables().current = ctx;
    cpu::writeKDataWord(kKDataCurrentProcess,
                        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(processHandle(ctx))));
}

HANDLE processHandle(ProcessContext ctx) {
    return reinterpret_cast<HANDLE>(
        static_cast<uintptr_t>(ctx == ProcessContext::User ? kUserProcessHandle : kKernelProcessHandle));
}

HANDLE addHandle(ProcessContext ctx, std::shared_ptr<KObject> obj) {
    Tables& t = tables();
    uint32_t h = t.nextHandle;
    t.nextHandle += 4;
    t.table[static_cast<int>(ctx)][h] = std::move(obj);
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h));
}

std::shared_ptr<KObject> lookupHandleIn(ProcessContext ctx, HANDLE h) {
    const uint32_t v = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h));
    if (v == kUserProcessHandle) return std::make_shared<ProcessObject>(ProcessContext::User);
    if (v == kKernelProcessHandle) return std::make_shared<ProcessObject>(ProcessContext::Kernel);
    auto& table = tables().table[static_cast<int>(ctx)];
    auto it = table.find(v);
    return it == table.end() ? nullptr : it->second;
}

std::shared_ptr<KObject> lookupHandle(HANDLE h) {
    return lookupHandleIn(currentContext(), h);
}

void signalEvent(EventObject& ev) {
    ev.signalled = true;
}

void releaseProcessObjects() {
    Tables& t = tables();
    for (auto& table : t.table) table.clear();
    t.mutexes.clear();
    t.events.clear();
    t.current = ProcessContext::User;
}

}  // namespace sim

using namespace sim;

DWORD GetLastError(void) {
    return tLastError;
}
void SetLastError(DWORD code) {
    tLastError = code;
}

HANDLE GetCurrentProcess(void) {
    return processHandle(currentContext());
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
    Tables& t = tables();
    std::string name = lpName ? toUtf8(lpName) : std::string();
    if (!name.empty()) {
        auto it = t.mutexes.find(name);
        if (it != t.mutexes.end()) {
            if (auto existing = it->second.lock()) {
                if (bInitialOwner) waitMutex(*existing, INFINITE);
                HANDLE h = addHandle(currentContext(), existing);
                tLastError = ERROR_ALREADY_EXISTS;
                return h;
            }
        }
    }
    auto m = std::make_shared<MutexObject>();
    m->name =
        name.empty() ? "unnamed-" + std::to_string(::getpid()) + "-" + std::to_string(t.nextHandle) : name;
    // The guard makes "is anybody else holding it open?" and "now I hold it open" one step.
    int guard = openLockFile(Board::current().path("objects/.guard"));
    m->openFd = openLockFile(objectFile(m->name, ".open"));
    if (guard < 0 || m->openFd < 0) {
        if (guard >= 0) ::close(guard);
        tLastError = ERROR_NO_SYSTEM_RESOURCES;
        return nullptr;
    }
    flockRetry(guard, LOCK_EX);
    const bool alone = flockRetry(m->openFd, LOCK_EX | LOCK_NB) == 0;
    flockRetry(m->openFd, LOCK_SH);
    ::flock(guard, LOCK_UN);
    ::close(guard);
    if (!name.empty()) t.mutexes[name] = m;
    if (bInitialOwner) waitMutex(*m, INFINITE);
    HANDLE h = addHandle(currentContext(), m);
    tLastError = (alone || name.empty()) ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS;
    return h;
}

BOOL ReleaseMutex(HANDLE hMutex) {
    auto obj = lookupHandle(hMutex);
    if (!obj || obj->kind != ObjKind::Mutex) {
        tLastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    auto& m = static_cast<MutexObject&>(*obj);
    if (m.recursion == 0) {
        tLastError = ERROR_NOT_SUPPORTED;  // not the owner
        return FALSE;
    }
    if (--m.recursion == 0) {
        ::flock(m.ownFd, LOCK_UN);
        logMutexHold(m);
        dropHoldNote(m);
    }
    return TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    Tables& t = tables();
    std::string name = lpName ? toUtf8(lpName) : std::string();
    if (!name.empty()) {
        if (name == "system/events/notify/APIReady") {
            HANDLE h = addHandle(currentContext(), apiReadyEvent());
            tLastError = ERROR_ALREADY_EXISTS;
            return h;
        }
        auto it = t.events.find(name);
        if (it != t.events.end()) {
            if (auto existing = it->second.lock()) {
                tLastError = ERROR_ALREADY_EXISTS;
                return addHandle(currentContext(), existing);
            }
        }
    }
    auto ev = std::make_shared<EventObject>(bManualReset != 0, bInitialState != 0);
    ev->name = name;
    if (!name.empty()) t.events[name] = ev;
    tLastError = ERROR_SUCCESS;
    return addHandle(currentContext(), ev);
}

HANDLE OpenEventW(DWORD, BOOL, LPCWSTR lpName) {
    if (!lpName) {
        tLastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    std::string name = toUtf8(lpName);
    if (name == "system/events/notify/APIReady") return addHandle(currentContext(), apiReadyEvent());
    auto it = tables().events.find(name);
    if (it != tables().events.end()) {
        if (auto existing = it->second.lock()) return addHandle(currentContext(), existing);
    }
    tLastError = ERROR_FILE_NOT_FOUND;
    return nullptr;
}

namespace {
BOOL setEventState(HANDLE hEvent, bool signalled) {
    auto obj = lookupHandle(hEvent);
    if (!obj || obj->kind != ObjKind::Event) {
        tLastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    static_cast<EventObject&>(*obj).signalled = signalled;
    return TRUE;
}
}  // namespace

BOOL EventModify(HANDLE hEvent, DWORD func) {
    switch (func) {
        case EVENT_SET:
            return setEventState(hEvent, true);
        case EVENT_RESET:
            return setEventState(hEvent, false);
        default:
            // No program on these boards pulses an event; releasing only the threads waiting at
            // that instant is not modelled.
            tLastError = ERROR_NOT_SUPPORTED;
            return FALSE;
    }
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    auto obj = lookupHandle(hHandle);
    if (!obj) {
        tLastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    switch (obj->kind) {
        case ObjKind::Event:
            return waitEvent(static_cast<EventObject&>(*obj), dwMilliseconds);
        case ObjKind::Mutex:
            return waitMutex(static_cast<MutexObject&>(*obj), dwMilliseconds);
        case ObjKind::Process:
            break;
    }
    tLastError = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
}

BOOL CloseHandle(HANDLE hObject) {
    const uint32_t v = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hObject));
    auto& table = tables().table[static_cast<int>(currentContext())];
    auto it = table.find(v);
    if (it == table.end()) {
        tLastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    table.erase(it);
    return TRUE;
}

BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     HANDLE* lpTargetHandle, DWORD, BOOL, DWORD dwOptions) {
    if (Board::current().config().faults.duplicateHandleFails) {  // board fault injection
        tLastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    auto src = lookupHandle(hSourceProcessHandle);
    auto dst = lookupHandle(hTargetProcessHandle);
    if (!src || src->kind != ObjKind::Process || !dst || dst->kind != ObjKind::Process || !lpTargetHandle) {
        tLastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    const ProcessContext from = static_cast<ProcessObject&>(*src).ctx;
    const ProcessContext to = static_cast<ProcessObject&>(*dst).ctx;
    auto obj = lookupHandleIn(from, hSourceHandle);
    if (!obj || obj->kind == ObjKind::Process) {
        tLastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *lpTargetHandle = addHandle(to, obj);
    if (dwOptions & DUPLICATE_CLOSE_SOURCE) {
        auto& table = tables().table[static_cast<int>(from)];
        table.erase(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hSourceHandle)));
    }
    return TRUE;
}

void Sleep(DWORD dwMilliseconds) {
    runDue();
    const uint64_t until = nowNs() + static_cast<uint64_t>(dwMilliseconds) * 1000000u;
    if (virtualTiming()) sleepOwningMutexes(until, dwMilliseconds);
    sleepUntilNs(until);
    runDue();
}

DWORD GetTickCount(void) {
    return static_cast<DWORD>(nowNs() / 1000000u);
}

namespace {
// The OS timer's rate, which the HAL's counter reports; a read through the kernel costs about a
// microsecond, so a loop that waits on the counter moves a frozen board's time on.
constexpr uint64_t kCounterHz = 3'250'000;
constexpr uint64_t kCounterReadNs = 1000;
}  // namespace

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (!lpPerformanceCount) {
        tLastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    advanceNs(kCounterReadNs);
    lpPerformanceCount->QuadPart = static_cast<LONGLONG>(nowNs() * 13 / 4000);  // 3.25 counts per microsecond
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    if (!lpFrequency) {
        tLastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    lpFrequency->QuadPart = static_cast<LONGLONG>(kCounterHz);
    return TRUE;
}
