// Tamblin.exe, carried in the image, loaded and run as a process of the bare board.
#pragma once

#include <stdint.h>

struct BareProgram {
    uint32_t base;           // where it was mapped
    uint32_t preferredBase;  // where the file would have it
    uint32_t entry;
    uint32_t fileSize;
    uint32_t relocations;  // base relocations applied
    uint32_t imports;      // imports bound
};

// Loads the file afresh (its data as in the file); false with the loader's reason in `error`.
bool BareLoadProgram(BareProgram* program, char* error, uint32_t errorSize);
// Runs it with `commandLine` (without the program's name) until it ends; its exit code.
uint32_t BareStartProgram(const BareProgram& program, const char16_t* commandLine);
