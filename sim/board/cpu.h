// The processor core as the program's privileged instructions and register accesses reach it:
// the mode in the CPSR, the CP15 main ID register, the words of the kernel data page, and the
// MMU's translation of the virtual pages that the kernel has bound to physical registers. The
// product's hardware seams (sim/seams) are each one call of this interface.
#pragma once

#include <cstdint>
#include <optional>

namespace sim::cpu {

// The program runs in user mode unless the board runs it privileged (board.json); while the
// kernel runs a routine for the HAL the core is in supervisor mode. Nested entries count.
void enterSupervisor();
void leaveSupervisor();
bool inSupervisor();
bool privileged();

// The kernel keeps the words of its data page (the current process's handle) here.
void writeKDataWord(uint32_t address, uint32_t value);

// What the program's instructions see. `mrs rN, cpsr`: the mode bits with the flags;
// `mrc p15, 0, rN, c0, c0, 0`: the main ID register, an undefined instruction outside a
// privileged mode; a load of a kernel data page word: a data abort for a word the board does not
// model. A trap ends the process as a board fault.
uint32_t readCpsr();
uint32_t readMainId();
uint32_t readKDataWord(uint32_t address);
// A 32-bit load or store at a virtual address: translated by the MMU (a data abort outside every
// bound page), carried out on the bus, and one uncached bus cycle of board time.
uint32_t load32(uint32_t virtualAddr);
void store32(uint32_t virtualAddr, uint32_t value);

// The MMU: 4 KB virtual pages bound to physical pages by the kernel.
constexpr uint32_t kPageSize = 0x1000;
void bindPage(uint32_t virtualPage, uint32_t physicalPage);
void unbindPage(uint32_t virtualPage);
std::optional<uint32_t> translate(uint32_t virtualAddr);

// Tests: user mode, no bound page (the kernel data page keeps its words).
void resetForTests();

}  // namespace sim::cpu
