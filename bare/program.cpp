// Tamblin.exe on the bare board: loaded by the same loader as on the virtual board (sim/peload)
// into memory of this image, at an address far from its preferred base, its imports bound to this
// image's platform layer through the same calling-convention shims, and its entry point called in
// the processor's own privileged mode. Nothing in it is changed: its CPSR and CP15 reads and its
// register accesses run as they would on the device.
#include "program.h"

#include "../sim/peload/coredll_exports.h"
#include "../sim/peload/pe_loader.h"
#include "bare_platform.h"
#include "board.h"

extern "C" const uint8_t bare_tamblin_exe[];
extern "C" const uint8_t bare_tamblin_exe_end[];

namespace {

constexpr uint32_t kProgramMemory = 64 * 1024;
alignas(4096) uint8_t g_programMemory[kProgramMemory];

uint32_t Resolve(const char* dll, const char* name) {
    return peload::CoredllExport(dll, name);
}

}  // namespace

bool BareLoadProgram(BareProgram* program, char* error, uint32_t errorSize) {
    peload::Image image;
    peload::Message message;
    message.clear();
    const uint32_t size = (uint32_t)(bare_tamblin_exe_end - bare_tamblin_exe);
    bool ok = peload::Parse(bare_tamblin_exe, size, &image, &message);
    if (ok && image.sizeOfImage > kProgramMemory) {
        message.clear();
        message.add("larger than the memory set aside for it");
        ok = false;
    }
    if (ok) {
        // A fresh process: the file's sections as they are, no state of an earlier run.
        for (uint32_t i = 0; i < kProgramMemory; ++i) g_programMemory[i] = 0;
        peload::Map(image, g_programMemory);
        program->base = (uint32_t)(uintptr_t)g_programMemory;
        program->preferredBase = image.preferredBase;
        program->entry = program->base + image.entryRva;
        program->fileSize = size;
        ok = peload::Relocate(image, g_programMemory, program->base, &program->relocations, &message) &&
             peload::BindImports(image, g_programMemory, Resolve, &program->imports, &message);
    }
    uint32_t i = 0;
    for (; !ok && message.text[i] && i + 1 < errorSize; ++i) error[i] = message.text[i];
    if (errorSize) error[i] = 0;
    return ok;
}

uint32_t BareStartProgram(const BareProgram& program, const char16_t* commandLine) {
    BareProcessStart();
    return BareRunProgram(program.entry, program.base, commandLine);
}
