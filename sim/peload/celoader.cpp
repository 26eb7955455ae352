// celoader: runs a Windows CE ARM executable (Tamblin.exe) on the virtual board, under qemu-arm,
// doing what the platform's loader does and what the processor and kernel would do around it.
//
//   celoader [--verbose] EXE [ARGUMENTS...]
//
// The loader maps the file's sections at an address of the system's choosing (never the preferred
// 0x00010000, which this program's own code occupies), applies the base relocations, binds every
// COREDLL import by name to the stand-in's function through a calling-convention shim, refuses to
// start and names every import it does not know, and calls the entry point with the WinMain
// arguments: the module's address, null, the arguments joined by spaces, SW_SHOW.
//
// The program's own instructions then run on the ARM instruction set. What they cannot do in a
// Linux user process is done the way a trap-and-emulate hypervisor does it:
// - register loads and stores: the register windows that VirtualAlloc reserves are inaccessible
//   address space, so an access faults; the fault handler decodes the load or store, carries it
//   out through the board's register seam (HwRead32 / HwWrite32) and steps over it;
// - the kernel data page word: a load from it faults in the same way and is answered by the board;
// - the CP15 main ID read: an undefined instruction in user mode, which the handler answers as the
//   board's processor does (in a privileged mode or a bridged kernel routine) or reports as the
//   board fault that ends the process (in user mode);
// - the CPSR read does not trap on ARMv5, and in a Linux process it always shows user mode. The
//   loader replaces each `mrs Rd, cpsr` in the program's code by an undefined instruction when it
//   maps the file, and the handler answers it with the mode the board gives the program: user or
//   privileged as board.json says, supervisor while the kernel-call bridge runs a routine.
// Everything else the program does runs natively.
//
// Exit codes: those of the program (WinMain's result, 2 when the board cannot be opened, 3 for a
// board fault); 4 when the file is refused before it runs (the reason on standard error, the board
// untouched); 5 for a usage error.
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <pkfuncs.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../platform/hwaccess.h"
#include "../board/board.h"
#include "../board/fault.h"
#include "../board/format.h"
#include "../board/simtime.h"
#include "../ceapi/tools_api.h"
#include "coredll_exports.h"
#include "pe_loader.h"

// The C run-time routines on 16-bit characters, as COREDLL exports them: the stand-in's versions
// have C++ linkage (the host's C library owns the C names).
extern "C" int tamblin_crt_wcscmp(const WCHAR* a, const WCHAR* b) {
    return wcscmp(a, b);
}
extern "C" int tamblin_crt__wcsicmp(const WCHAR* a, const WCHAR* b) {
    return _wcsicmp(a, b);
}
extern "C" WCHAR* tamblin_crt__wcsupr(WCHAR* s) {
    return _wcsupr(s);
}

namespace {

constexpr int kExitRefused = 4;
constexpr int kExitUsage = 5;
constexpr uint32_t kKDataPage = KDATA_CURRENT_PROCESS_ADDR & ~0xFFFu;
constexpr uint32_t kMainIdRead = 0xEE100F10u;  // mrc p15, 0, Rd, c0, c0, 0 (Rd in bits 15..12)
constexpr uint32_t kCpsrControlBits = 0xFFu;   // I, F, T and the mode: what the board decides

struct Loaded {
    std::string name;  // the file's name, for messages
    uint32_t base = 0;
    uint32_t size = 0;
    peload::Image image;
};
Loaded gLoaded;

std::string imagePlace(uint32_t pc) {
    return gLoaded.name + "+" + sim::hex(pc - gLoaded.base, 4);
}

bool inProgramCode(uint32_t pc) {
    if (pc - gLoaded.base >= gLoaded.size) return false;
    const peload::Section* s = peload::SectionAt(gLoaded.image, pc - gLoaded.base);
    return s && (s->characteristics & peload::kSectionExecute);
}

// r0..r15 as the signal frame holds them.
uint32_t* registersOf(ucontext_t* uc) {
    return reinterpret_cast<uint32_t*>(&uc->uc_mcontext.arm_r0);
}

uint32_t shifted(uint32_t insn, const uint32_t* r, uint32_t cpsr) {
    const uint32_t value = r[insn & 0xF];
    const uint32_t amount = (insn >> 7) & 31;
    switch ((insn >> 5) & 3) {
        case 0:
            return value << amount;
        case 1:
            return amount ? value >> amount : 0;
        case 2:
            return amount ? static_cast<uint32_t>(static_cast<int32_t>(value) >> amount)
                          : ((value & 0x80000000u) ? 0xFFFFFFFFu : 0);
        default:
            return amount ? (value >> amount) | (value << (32 - amount))
                          : ((cpsr & 0x20000000u) << 2) | (value >> 1);  // RRX
    }
}

// A word load or store (LDR/STR, any addressing mode) at the faulting pc, carried out through the
// board: the register seam for a register window, the kernel's word for its data page.
bool emulateWordAccess(uint32_t insn, uint32_t* r, uint32_t cpsr) {
    if ((insn & 0x0C400000u) != 0x04000000u) return false;  // not a single word transfer
    const bool registerOffset = insn & (1u << 25);
    if (registerOffset && (insn & 0x10u)) return false;  // media instruction space
    const bool pre = insn & (1u << 24), up = insn & (1u << 23), writeBack = insn & (1u << 21),
               load = insn & (1u << 20);
    const uint32_t rn = (insn >> 16) & 0xF, rd = (insn >> 12) & 0xF;
    if (rd == 15 || (rn == 15 && (writeBack || !pre))) return false;
    const uint32_t base = rn == 15 ? r[15] + 8 : r[rn];
    const uint32_t offset = registerOffset ? shifted(insn, r, cpsr) : (insn & 0xFFFu);
    const uint32_t indexed = up ? base + offset : base - offset;
    const uint32_t address = pre ? indexed : base;
    if ((address & ~0xFFFu) == kKDataPage) {
        if (!load)
            sim::boardFault("data abort: store to the kernel data page word " + sim::hex(address, 8) +
                            " at " + imagePlace(r[15]));
        r[rd] = HwReadKDataWord(address);
    } else if (load) {
        r[rd] = HwRead32(reinterpret_cast<const volatile DWORD*>(static_cast<uintptr_t>(address)));
    } else {
        HwWrite32(reinterpret_cast<volatile DWORD*>(static_cast<uintptr_t>(address)), r[rd]);
    }
    if ((!pre || writeBack) && rn != rd) r[rn] = indexed;
    return true;
}

// A fault outside the program's code is this process's own: the default action ends it.
void notOurs(int sig) {
    signal(sig, SIG_DFL);
}

void onDataAbort(int sig, siginfo_t* info, void* context) {
    ucontext_t* uc = static_cast<ucontext_t*>(context);
    uint32_t* r = registersOf(uc);
    if (!inProgramCode(r[15])) return notOurs(sig);
    try {
        const uint32_t insn = *reinterpret_cast<const uint32_t*>(static_cast<uintptr_t>(r[15]));
        if (!emulateWordAccess(insn, r, uc->uc_mcontext.arm_cpsr))
            sim::boardFault("data abort: the instruction " + sim::hex(insn, 8) + " at " + imagePlace(r[15]) +
                            " accessed " +
                            sim::hex(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info->si_addr)), 8) +
                            ", which is neither memory of the process nor a register it mapped");
    } catch (const std::exception& e) {
        sim::boardFault(std::string("the board failed under the program: ") + e.what());
    }
    r[15] += 4;
}

void onUndefinedInstruction(int sig, siginfo_t*, void* context) {
    ucontext_t* uc = static_cast<ucontext_t*>(context);
    uint32_t* r = registersOf(uc);
    if (!inProgramCode(r[15]) || (uc->uc_mcontext.arm_cpsr & 0x20u)) return notOurs(sig);
    try {
        const uint32_t insn = *reinterpret_cast<const uint32_t*>(static_cast<uintptr_t>(r[15]));
        const uint32_t rd = (insn >> 12) & 0xF;
        if ((insn & 0xFFFF0FFFu) == kMainIdRead && rd != 15) {
            r[rd] = HwReadMainId();
        } else if ((insn & 0xFFFFFFF0u) == peload::kStatusReadTrap && (insn & 0xF) != 15) {
            // The program's condition flags as they stand, the mode as the board has it.
            r[insn & 0xF] =
                (uc->uc_mcontext.arm_cpsr & ~kCpsrControlBits) | (HwReadCpsr() & kCpsrControlBits);
        } else {
            sim::boardFault("undefined instruction " + sim::hex(insn, 8) + " at " + imagePlace(r[15]) +
                            "; the kernel ends the process");
        }
    } catch (const std::exception& e) {
        sim::boardFault(std::string("the board failed under the program: ") + e.what());
    }
    r[15] += 4;
}

// An exception of the stand-in cannot unwind through the program's frames; it ends the process as
// a board failure does in the host build's start-up code.
void onTerminate() {
    try {
        if (std::current_exception()) std::rethrow_exception(std::current_exception());
    } catch (const std::exception& e) {
        sim::boardFault(std::string("the board failed under the program: ") + e.what());
    } catch (...) {
    }
    sim::boardFault("the board failed under the program");
}

uint32_t resolve(const char* dll, const char* name) {
    return peload::CoredllExport(dll, name);
}

int refuse(const std::string& what) {
    std::fprintf(stderr, "celoader: %s: %s\n", gLoaded.name.c_str(), what.c_str());
    return kExitRefused;
}

int protectionOf(uint32_t characteristics) {
    int prot = PROT_READ;
    if (characteristics & peload::kSectionExecute) prot |= PROT_EXEC;
    if (characteristics & peload::kSectionWrite) prot |= PROT_WRITE;
    return prot;
}

}  // namespace

int main(int argc, char** argv) {
    bool verbose = false;
    int first = 1;
    if (first < argc && (std::strcmp(argv[first], "--verbose") == 0 || std::strcmp(argv[first], "-v") == 0)) {
        verbose = true;
        ++first;
    }
    if (first >= argc || argv[first][0] == '-') {
        std::fprintf(
            stderr,
            "usage: celoader [--verbose] EXE [ARGUMENTS...]\n"
            "Runs a Windows CE ARM executable on the virtual board ($TAMBLIN_BOARD, else ./board).\n");
        return kExitUsage;
    }
    const std::string path = argv[first];
    gLoaded.name = path.substr(path.find_last_of('/') + 1);

    std::ifstream in(path, std::ios::binary);
    if (!in) return refuse(std::string("cannot read the file: ") + std::strerror(errno));
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    peload::Message error;
    error.clear();
    if (file.size() > peload::kMaxImageSize ||
        !peload::Parse(file.data(), static_cast<uint32_t>(file.size()), &gLoaded.image, &error))
        return refuse(file.size() > peload::kMaxImageSize ? "larger than a process slot" : error.text);

    void* memory = ::mmap(nullptr, gLoaded.image.sizeOfImage, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return refuse(std::string("cannot map the image: ") + std::strerror(errno));
    uint8_t* image = static_cast<uint8_t*>(memory);
    gLoaded.base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(memory));
    gLoaded.size = gLoaded.image.sizeOfImage;
    uint32_t relocations = 0, imports = 0;
    peload::Map(gLoaded.image, image);
    if (!peload::Relocate(gLoaded.image, image, gLoaded.base, &relocations, &error) ||
        !peload::BindImports(gLoaded.image, image, resolve, &imports, &error))
        return refuse(error.text);
    const uint32_t statusReads = peload::TrapStatusReads(gLoaded.image, image);
    ::mprotect(image, gLoaded.image.sizeOfHeaders, PROT_READ);
    for (uint32_t i = 0; i < gLoaded.image.sectionCount; ++i) {
        const peload::Section& s = gLoaded.image.sections[i];
        ::mprotect(image + s.rva, (s.virtualSize + 0xFFF) & ~0xFFFu, protectionOf(s.characteristics));
    }
    if (verbose)
        std::fprintf(
            stderr,
            "celoader: %s mapped at 0x%08X (its preferred base 0x%08X): %u base relocations applied, "
            "%u imports bound, %u CPSR reads trapped; entry at 0x%08X\n",
            gLoaded.name.c_str(), gLoaded.base, gLoaded.image.preferredBase, relocations, imports,
            statusReads, gLoaded.base + gLoaded.image.entryRva);

    struct sigaction action {};
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    action.sa_sigaction = onDataAbort;
    sigaction(SIGSEGV, &action, nullptr);
    sigaction(SIGBUS, &action, nullptr);
    action.sa_sigaction = onUndefinedInstruction;
    sigaction(SIGILL, &action, nullptr);
    std::set_terminate(onTerminate);

    // As the host build's start-up code: the board, then the program.
    std::string commandLine;
    for (int i = first + 1; i < argc; ++i) {
        if (i > first + 1) commandLine += ' ';
        commandLine += argv[i];
    }
    if (const int refused = sim::startProgramOnBoard(gLoaded.name)) return refused;
    std::u16string wide = sim::fromUtf8(commandLine);
    using Entry = DWORD (*)(HINSTANCE, HINSTANCE, LPWSTR, int);
    const Entry entry =
        reinterpret_cast<Entry>(static_cast<uintptr_t>(gLoaded.base + gLoaded.image.entryRva));
    // A primary thread that returns from its entry ends as if it had called ExitThread.
    ExitThread(entry(reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(gLoaded.base)), nullptr, wide.data(),
                     5 /* SW_SHOW */));
}
