// Kernel objects and handle tables of the host stand-in. Shared by the stand-in's modules (the
// synchronisation calls, the kernel-call bridge, the interrupt dispatch); product code never
// includes this.
#pragma once

#include "layer.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "../board/fault.h"
#include "tools_api.h"

namespace sim {

enum class ObjKind { Event, Mutex, Process };

struct KObject {
    explicit KObject(ObjKind k) : kind(k) {}
    virtual ~KObject() = default;
    ObjKind kind;
};

struct EventObject : KObject {
    EventObject(bool manual, bool initial)
        : KObject(ObjKind::Event), manualReset(manual), signalled(initial) {}
    bool manualReset;
    bool signalled;
    std::string name;
    // Events signalled by the board rather than by a program (the notification service's
    // readiness): when it becomes signalled, in board uptime; nullopt = never.
    bool boardDriven = false;
    std::optional<uint64_t> readyAtNs;
};

// The two process contexts that the program can run in: its own, and the kernel's, in which the
// HAL runs bridged routines. Each has its own handle table.
enum class ProcessContext { User = 0, Kernel = 1 };

ProcessContext currentContext();
void setCurrentContext(ProcessContext ctx);
// The handle of a process as it appears in the kernel data page word and to DuplicateHandle.
HANDLE processHandle(ProcessContext ctx);

HANDLE addHandle(ProcessContext ctx, std::shared_ptr<KObject> obj);
// Looks a handle up in the current context's table; null when it is not valid there.
std::shared_ptr<KObject> lookupHandle(HANDLE h);
std::shared_ptr<KObject> lookupHandleIn(ProcessContext ctx, HANDLE h);

// Signals an event (kernel side, e.g. an interrupt's dispatch).
void signalEvent(EventObject& ev);

// A wide string of the platform's API as UTF-8 (the rest of the conversions: tools_api.h).
std::string toUtf8(const WCHAR* s);

// The platform's time record and the board files' form of it, field for field.
SysTime fromSystemTime(const SYSTEMTIME& t);
SYSTEMTIME toSystemTime(const SysTime& t);

}  // namespace sim
