// The platform loader's work on a PE32 file: checks, mapping, base relocations, imports by name.
#include "pe_loader.h"

namespace peload {

namespace {

constexpr uint32_t kDosHeaderSize = 0x40;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kOptionalHeaderSize = 224;  // PE32 with its 16 data directories
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint32_t kPageSize = 0x1000;
constexpr uint32_t kDirImport = 1, kDirBaseReloc = 5;
constexpr uint32_t kImportDescriptorSize = 20;
constexpr uint32_t kImportByOrdinal = 0x80000000u;
constexpr uint16_t kRelocAbsolute = 0, kRelocHighLow = 3;
constexpr uint32_t kMaxImports = 4096;

uint16_t Read16(const uint8_t* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}
uint32_t Read32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
void Write32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

// [offset, offset + length) lies within [0, limit), without overflow.
bool Within(uint32_t offset, uint32_t length, uint32_t limit) {
    return offset <= limit && length <= limit - offset;
}

bool Fail(Message* error, const char* what) {
    error->clear();
    error->add(what);
    return false;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

bool SameNameIgnoringCase(const char* a, const char* b) {
    while (*a && Lower(*a) == Lower(*b)) ++a, ++b;
    return Lower(*a) == Lower(*b);
}

// A NUL-terminated string at `rva` inside the mapped image, or null.
const char* StringAt(const Image& image, const uint8_t* memory, uint32_t rva) {
    if (rva >= image.sizeOfImage) return nullptr;
    for (uint32_t i = rva; i < image.sizeOfImage; ++i)
        if (memory[i] == 0) return (const char*)memory + rva;
    return nullptr;
}

}  // namespace

void Message::clear() {
    length = 0;
    text[0] = 0;
}

Message& Message::add(const char* s, uint32_t max) {
    for (uint32_t i = 0; i < max && s[i] && length + 1 < sizeof text; ++i) text[length++] = s[i];
    text[length] = 0;
    return *this;
}

Message& Message::add(const char* s) {
    return add(s, sizeof text);
}

Message& Message::hex(uint32_t value, int digits) {
    char buf[11] = "0x";
    for (int i = 0; i < digits; ++i) buf[2 + i] = "0123456789ABCDEF"[(value >> (4 * (digits - 1 - i))) & 0xF];
    buf[2 + digits] = 0;
    return add(buf);
}

Message& Message::dec(uint32_t value) {
    char buf[11];
    int n = 0;
    do {
        buf[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    char out[11];
    for (int i = 0; i < n; ++i) out[i] = buf[n - 1 - i];
    out[n] = 0;
    return add(out);
}

const Section* SectionAt(const Image& image, uint32_t rva) {
    for (uint32_t i = 0; i < image.sectionCount; ++i) {
        const Section& s = image.sections[i];
        if (rva >= s.rva && rva - s.rva < s.virtualSize) return &s;
    }
    return nullptr;
}

bool Parse(const uint8_t* file, uint32_t size, Image* image, Message* error) {
    *image = Image{};
    image->file = file;
    image->fileSize = size;
    if (size < kDosHeaderSize || file[0] != 'M' || file[1] != 'Z')
        return Fail(error, "not an executable: no MZ header");
    const uint32_t pe = Read32(file + 0x3C);
    if (!Within(pe, 4 + kFileHeaderSize + kOptionalHeaderSize, size) || Read32(file + pe) != 0x00004550u)
        return Fail(error, "not a PE file: no PE header where the MZ header points");
    const uint8_t* fh = file + pe + 4;
    image->machine = Read16(fh);
    const uint32_t sectionCount = Read16(fh + 2);
    const uint32_t optionalSize = Read16(fh + 16);
    const uint16_t characteristics = Read16(fh + 18);
    if (image->machine != kMachineArm && image->machine != kMachineArmv4i) {
        error->clear();
        error->add("machine ").hex(image->machine, 4).add(" is not ARM (0x01C0) or ARMV4I (0x01C2)");
        return false;
    }
    if (!(characteristics & kFileExecutable))
        return Fail(error, "not an executable image (a DLL or an object file)");
    image->relocationsStripped = (characteristics & kFileRelocsStripped) != 0;
    if (optionalSize < kOptionalHeaderSize || !Within(pe + 4 + kFileHeaderSize, optionalSize, size))
        return Fail(error, "optional header too short for a PE32 executable");
    const uint8_t* oh = fh + kFileHeaderSize;
    if (Read16(oh) != kMagicPe32) return Fail(error, "not PE32 (optional header magic is not 0x10B)");
    image->entryRva = Read32(oh + 16);
    image->preferredBase = Read32(oh + 28);
    const uint32_t sectionAlignment = Read32(oh + 32);
    const uint32_t fileAlignment = Read32(oh + 36);
    image->subsystemVersion = (uint32_t)(Read16(oh + 48) << 8) | Read16(oh + 50);
    image->sizeOfImage = Read32(oh + 56);
    image->sizeOfHeaders = Read32(oh + 60);
    image->subsystem = Read16(oh + 68);
    const uint32_t directories = Read32(oh + 92);
    if (image->subsystem != kSubsystemWindowsCeGui) {
        error->clear();
        error->add("subsystem ").dec(image->subsystem).add(" is not a Windows CE program's (9)");
        return false;
    }
    if (image->subsystemVersion > kOsVersion || Read16(oh + 50) > 99) {
        error->clear();
        error->add("made for Windows CE ").dec(Read16(oh + 48)).add(".").dec(Read16(oh + 50));
        error->add(", newer than this system's 5.00");
        return false;
    }
    if (sectionAlignment != kPageSize || fileAlignment < 0x200 || fileAlignment > 0x10000 ||
        (fileAlignment & (fileAlignment - 1)) != 0)
        return Fail(error,
                    "section alignment is not the page size (0x1000) or file alignment is no power of two");
    if (image->preferredBase % 0x10000 != 0) return Fail(error, "image base is not a multiple of 64 KB");
    if (image->sizeOfImage == 0 || image->sizeOfImage > kMaxImageSize || image->sizeOfImage % kPageSize != 0)
        return Fail(error, "image size is zero, larger than a process slot, or not whole pages");
    if (image->sizeOfHeaders == 0 || image->sizeOfHeaders > size || image->sizeOfHeaders > kPageSize)
        return Fail(error, "header size does not fit the file or the first page");
    if (directories > kDirBaseReloc) {
        image->importRva = Read32(oh + 96 + 8 * kDirImport);
        image->importSize = Read32(oh + 96 + 8 * kDirImport + 4);
        image->relocRva = Read32(oh + 96 + 8 * kDirBaseReloc);
        image->relocSize = Read32(oh + 96 + 8 * kDirBaseReloc + 4);
    }
    if (sectionCount == 0 || sectionCount > kMaxSections) return Fail(error, "no sections, or more than 16");
    const uint32_t table = pe + 4 + kFileHeaderSize + optionalSize;
    if (!Within(table, 40 * sectionCount, size) || table + 40 * sectionCount > image->sizeOfHeaders)
        return Fail(error, "section table outside the headers");
    uint32_t end = image->sizeOfHeaders;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint8_t* sh = file + table + 40 * i;
        Section& s = image->sections[i];
        for (int c = 0; c < 8; ++c) s.name[c] = (char)sh[c];
        s.name[8] = 0;
        s.rawSize = Read32(sh + 16);
        s.virtualSize = Read32(sh + 8) ? Read32(sh + 8) : s.rawSize;
        s.rva = Read32(sh + 12);
        s.rawOffset = Read32(sh + 20);
        s.characteristics = Read32(sh + 36);
        if (s.rawSize > s.virtualSize) s.rawSize = s.virtualSize;  // the rest is file alignment
        error->clear();
        error->add("section ").add(s.name).add(": ");
        if (s.rva % kPageSize != 0 || s.rva < end || !Within(s.rva, s.virtualSize, image->sizeOfImage))
            return error->add("not on a page of its own inside the image, or overlaps the one before"), false;
        if (s.rawSize && !Within(s.rawOffset, s.rawSize, size))
            return error->add("its data lies outside the file"), false;
        end = s.rva + s.virtualSize;
    }
    image->sectionCount = sectionCount;
    const Section* entry = SectionAt(*image, image->entryRva);
    if (!entry || !(entry->characteristics & kSectionExecute))
        return Fail(error, "entry point is not in an executable section");
    if (image->importSize && !Within(image->importRva, image->importSize, image->sizeOfImage))
        return Fail(error, "import directory outside the image");
    if (image->relocSize && !Within(image->relocRva, image->relocSize, image->sizeOfImage))
        return Fail(error, "base relocations outside the image");
    return true;
}

void Map(const Image& image, uint8_t* memory) {
    for (uint32_t i = 0; i < image.sizeOfHeaders; ++i) memory[i] = image.file[i];
    for (uint32_t n = 0; n < image.sectionCount; ++n) {
        const Section& s = image.sections[n];
        for (uint32_t i = 0; i < s.rawSize; ++i) memory[s.rva + i] = image.file[s.rawOffset + i];
    }
}

bool Relocate(const Image& image, uint8_t* memory, uint32_t base, uint32_t* applied, Message* error) {
    *applied = 0;
    const uint32_t delta = base - image.preferredBase;
    if (delta == 0) return true;
    if (image.relocationsStripped || image.relocSize == 0) {
        error->clear();
        error->add("the file has no base relocations, so it cannot run at ").hex(base);
        error->add(" instead of ").hex(image.preferredBase);
        return false;
    }
    uint32_t at = image.relocRva;
    const uint32_t end = image.relocRva + image.relocSize;
    while (at < end) {
        if (end - at < 8) return Fail(error, "base relocation block cut short");
        const uint32_t page = Read32(memory + at);
        const uint32_t blockSize = Read32(memory + at + 4);
        if (blockSize < 8 || blockSize > end - at || blockSize % 2 != 0)
            return Fail(error, "base relocation block of an impossible size");
        for (uint32_t e = at + 8; e < at + blockSize; e += 2) {
            const uint16_t entry = Read16(memory + e);
            const uint16_t type = (uint16_t)(entry >> 12);
            const uint32_t rva = page + (entry & 0xFFFu);
            if (type == kRelocAbsolute) continue;
            error->clear();
            if (type != kRelocHighLow) {
                error->add("base relocation type ").dec(type).add(" at RVA ").hex(rva);
                error->add(": an ARM program's absolute addresses are HIGHLOW words");
                return false;
            }
            if (rva < page || !Within(rva, 4, image.sizeOfImage)) {
                error->add("base relocation at RVA ").hex(rva).add(" outside the image");
                return false;
            }
            Write32(memory + rva, Read32(memory + rva) + delta);
            ++*applied;
        }
        at += blockSize;
    }
    return true;
}

bool BindImports(const Image& image, uint8_t* memory, Resolver resolve, uint32_t* bound, Message* error) {
    *bound = 0;
    error->clear();
    Message unknown;
    unknown.clear();
    uint32_t unknownCount = 0;
    // Two passes: the first checks and resolves every import, the second writes the table.
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t d = image.importRva; image.importSize; d += kImportDescriptorSize) {
            if (!Within(d, kImportDescriptorSize, image.sizeOfImage))
                return Fail(error, "import directory runs off the image");
            const uint32_t lookupRva = Read32(memory + d);
            const uint32_t nameRva = Read32(memory + d + 12);
            const uint32_t tableRva = Read32(memory + d + 16);
            if (nameRva == 0 && tableRva == 0) break;  // the null descriptor ends the list
            const char* dll = StringAt(image, memory, nameRva);
            if (!dll) return Fail(error, "import directory names its DLL outside the image");
            const uint32_t namesRva = lookupRva ? lookupRva : tableRva;
            for (uint32_t i = 0;; ++i) {
                if (i >= kMaxImports) return Fail(error, "import table without its null entry");
                const uint32_t slot = tableRva + 4 * i, entryAt = namesRva + 4 * i;
                if (!Within(slot, 4, image.sizeOfImage) || !Within(entryAt, 4, image.sizeOfImage))
                    return Fail(error, "import table runs off the image");
                const uint32_t entry = Read32(memory + entryAt);
                if (entry == 0) break;
                if (entry & kImportByOrdinal) {
                    error->add("imports ordinal ").dec(entry & 0xFFFF).add(" of ").add(dll, 64);
                    return error->add(": this loader binds by name only"), false;
                }
                const char* name = StringAt(image, memory, entry + 2);
                if (!name) return Fail(error, "import name outside the image");
                const uint32_t address = resolve(dll, name);
                if (pass == 0 && address == 0) {
                    if (unknownCount++) unknown.add(", ");
                    if (!SameNameIgnoringCase(dll, "COREDLL.dll")) unknown.add(dll, 64).add("!");
                    unknown.add(name, 64);
                }
                if (pass == 1) {
                    Write32(memory + slot, address);
                    ++*bound;
                }
            }
        }
        if (pass == 0 && unknownCount) {
            error->add("imports what this system does not export: ").add(unknown.text);
            return false;
        }
    }
    return true;
}

uint32_t TrapStatusReads(const Image& image, uint8_t* memory) {
    uint32_t count = 0;
    for (uint32_t n = 0; n < image.sectionCount; ++n) {
        const Section& s = image.sections[n];
        if (!(s.characteristics & kSectionExecute)) continue;
        for (uint32_t at = s.rva; at + 4 <= s.rva + s.virtualSize; at += 4) {
            const uint32_t insn = Read32(memory + at);
            // mrs Rd, cpsr (always executed); mrs of the SPSR has bit 22 set and is left alone.
            if ((insn & 0xFFFF0FFFu) == 0xE10F0000u) {
                Write32(memory + at, kStatusReadTrap | ((insn >> 12) & 0xF));
                ++count;
            }
        }
    }
    return count;
}

}  // namespace peload
