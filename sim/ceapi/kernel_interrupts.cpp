// The kernel's interrupt services. Interrupts are level-triggered: a SYSINTR with an attached
// event signals it when its IRQ line is asserted and is masked from then on; InterruptDone unmasks
// it, and a line still asserted at that moment fires again at once.
#include <pkfuncs.h>

#include "../board/cpu.h"
#include "../board/format.h"
#include "../board/interrupt_controller.h"
#include "../board/simtime.h"
#include "kernel_state.h"

namespace sim::kernel {

namespace {

// The kernel masks the SYSINTR as its interrupt comes in; the waiting thread hears of it once the
// interrupt has reached the kernel's handler and the thread has been switched to.
void fire(DWORD id, SysIntr& s) {
    s.masked = true;
    const TimingConfig& t = Board::current().config().timing;
    scheduleAt(nowNs() + t.interruptLatencyNs + t.threadWakeNs, [id] {
        auto it = state().sysIntrs.find(id);
        if (it == state().sysIntrs.end() || !it->second.event) return;
        signalEvent(*it->second.event);
        ++it->second.signals;
    });
}

// The kernel's dispatch: an asserted line signals every SYSINTR of it that is attached and armed.
const bool gDispatchInstalled = [] {
    setIrqListener([](unsigned irq) {
        for (auto& [id, s] : state().sysIntrs)
            if (s.irq == irq && s.event && !s.masked) fire(id, s);
    });
    return true;
}();

}  // namespace

BOOL interruptInitialize(DWORD idInt, HANDLE hEvent) {
    auto it = state().sysIntrs.find(idInt);
    if (it == state().sysIntrs.end()) {
        log("InterruptInitialize: SYSINTR " + std::to_string(idInt) + " was not handed out");
        return fail(ERROR_INVALID_PARAMETER);
    }
    SysIntr& s = it->second;
    if (s.event) return fail(ERROR_INVALID_PARAMETER);  // already attached
    auto obj = lookupHandle(hEvent);
    if (!obj || obj->kind != ObjKind::Event) {
        log("InterruptInitialize: handle " +
            hex(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hEvent)), 8) +
            " is not an event in the calling process");
        return fail(ERROR_INVALID_HANDLE);
    }
    s.event = std::static_pointer_cast<EventObject>(obj);
    s.masked = false;
    if (irqLineAsserted(s.irq)) fire(idInt, s);
    return TRUE;
}

void interruptDone(DWORD idInt) {
    auto it = state().sysIntrs.find(idInt);
    if (it == state().sysIntrs.end() || !it->second.event) return;
    SysIntr& s = it->second;
    s.masked = false;
    if (irqLineAsserted(s.irq)) fire(idInt, s);
}

void interruptDisable(DWORD idInt) {
    auto it = state().sysIntrs.find(idInt);
    if (it == state().sysIntrs.end()) return;
    it->second.event.reset();
    it->second.masked = true;
}

}  // namespace sim::kernel

namespace sim {

std::optional<SysIntrInfo> sysIntrInfo(DWORD sysIntr) {
    auto it = kernel::state().sysIntrs.find(sysIntr);
    if (it == kernel::state().sysIntrs.end()) return std::nullopt;
    const kernel::SysIntr& s = it->second;
    return SysIntrInfo{s.irq, s.event != nullptr, s.masked, s.signals};
}

}  // namespace sim

using namespace sim;
using namespace sim::kernel;

BOOL InterruptInitialize(DWORD idInt, HANDLE hEvent, LPVOID, DWORD) {
    if (!enterService("InterruptInitialize")) return FALSE;
    return interruptInitialize(idInt, hEvent);
}

void InterruptDone(DWORD idInt) {
    if (!enterService("InterruptDone")) return;
    interruptDone(idInt);
}

void InterruptDisable(DWORD idInt) {
    if (!enterService("InterruptDisable")) return;
    interruptDisable(idInt);
}
