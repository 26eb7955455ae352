// The product's hardware seams (platform/hwaccess.h) on the virtual board: each privileged
// instruction and each register load or store of the product reaches the board's processor core.
// With the transaction bus beside it, this library is the only code that sees both the product's
// headers and the board's.
#include "../../platform/hwaccess.h"

#include <cstdint>

#include "../board/cpu.h"

namespace {

uint32_t virtualAddressOf(const volatile DWORD* reg) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(reg));
}

}  // namespace

DWORD HwReadCpsr(void) {
    return sim::cpu::readCpsr();
}

DWORD HwReadMainId(void) {
    return sim::cpu::readMainId();
}

DWORD HwReadKDataWord(DWORD address) {
    return sim::cpu::readKDataWord(address);
}

DWORD HwRead32(const volatile DWORD* reg) {
    return sim::cpu::load32(virtualAddressOf(reg));
}

void HwWrite32(volatile DWORD* reg, DWORD value) {
    sim::cpu::store32(virtualAddressOf(reg), value);
}
