// The table of COREDLL's exports: name and shim (coredll_shims.S), from the one import list.
#include "coredll_exports.h"

#define COREDLL_IMPORT(name, words) extern "C" void tamblin_shim_##name(void);
#define COREDLL_CRT_IMPORT(name, words) extern "C" void tamblin_shim_##name(void);
#define COREDLL_VARIADIC_IMPORT(name, words, vname) extern "C" void tamblin_shim_##name(void);
#include "../../device/coredll_imports.h"
#undef COREDLL_IMPORT
#undef COREDLL_CRT_IMPORT
#undef COREDLL_VARIADIC_IMPORT

namespace peload {

namespace {

struct Export {
    const char* name;
    void (*shim)(void);
};

const Export kExports[] = {
#define COREDLL_IMPORT(name, words) {#name, tamblin_shim_##name},
#define COREDLL_CRT_IMPORT(name, words) {#name, tamblin_shim_##name},
#define COREDLL_VARIADIC_IMPORT(name, words, vname) {#name, tamblin_shim_##name},
#include "../../device/coredll_imports.h"
};

bool Same(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

bool IsCoredll(const char* dll) {
    const char* expected = "coredll.dll";
    for (; *dll && *expected; ++dll, ++expected) {
        const char c = (*dll >= 'A' && *dll <= 'Z') ? (char)(*dll - 'A' + 'a') : *dll;
        if (c != *expected) return false;
    }
    return *dll == 0 && *expected == 0;
}

}  // namespace

uint32_t CoredllExport(const char* dll, const char* name) {
    if (!IsCoredll(dll)) return 0;
    for (const Export& e : kExports)
        if (Same(e.name, name)) return (uint32_t)(uintptr_t)e.shim;
    return 0;
}

}  // namespace peload
