#include "kernel_state.h"

#include <sys/mman.h>

#include "../board/cpu.h"
#include "../board/interrupt_controller.h"

namespace sim::kernel {

State& state() {
    static State s;
    return s;
}

const FaultConfig& faults() {
    return Board::current().config().faults;
}

void log(const std::string& line) {
    OutputDebugStringW(fromUtf8("Kernel: " + line + "\r\n").c_str());
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool enterService(const char* service) {
    const bool kernel = cpu::privileged();
    state().services.push_back(KernelServiceCall{service, kernel, cpu::inSupervisor()});
    if (!kernel) {
        log(std::string(service) + " called from user mode: access denied");
        SetLastError(ERROR_ACCESS_DENIED);
    }
    return kernel;
}

BridgedScope::BridgedScope() : saved_(currentContext()) {
    cpu::enterSupervisor();
    setCurrentContext(ProcessContext::Kernel);
}

BridgedScope::~BridgedScope() {
    setCurrentContext(saved_);
    cpu::leaveSupervisor();
}

}  // namespace sim::kernel

namespace sim {

const std::vector<KernelServiceCall>& kernelServiceCalls() {
    return kernel::state().services;
}

void resetKernelForTests() {
    kernel::State& k = kernel::state();
    for (auto& [base, w] : k.windows) ::munmap(reinterpret_cast<void*>(static_cast<uintptr_t>(base)), w.size);
    k = kernel::State{};
    cpu::resetForTests();
    resetIrqLinesForTests();
    setCurrentContext(ProcessContext::User);
    kernel::forgetProcessIdentity();
}

}  // namespace sim
