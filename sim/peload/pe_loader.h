// Loading a Windows CE ARM executable as the platform's loader does: check the file, map its
// sections into memory that the caller provides, apply its base relocations for the address it
// got, and bind its imports by name. Freestanding (no C library), so that the bare-metal image
// runs the very same loader as the ARM program on the virtual board.
//
// Every offset and size in the file is checked before it is used: a damaged or hostile file is
// refused with a message that says what is wrong, never followed out of the file or the image.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace peload {

constexpr uint32_t kMaxSections = 16;
constexpr uint32_t kMaxImageSize = 32u << 20;  // a process slot of the platform
constexpr uint16_t kMachineArm = 0x01C0;
constexpr uint16_t kMachineArmv4i = 0x01C2;  // ARM with Thumb interworking
constexpr uint16_t kSubsystemWindowsCeGui = 9;
constexpr uint32_t kOsVersion = 0x0500;  // what these boards run: Windows CE 5.00

constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionWrite = 0x80000000;

struct Section {
    char name[9];
    uint32_t rva;
    uint32_t virtualSize;  // what is mapped
    uint32_t rawOffset;
    uint32_t rawSize;  // what the file carries of it (the rest is zero)
    uint32_t characteristics;
};

struct Image {
    const uint8_t* file;
    uint32_t fileSize;
    uint16_t machine;
    uint16_t subsystem;
    uint32_t subsystemVersion;  // major << 8 | minor
    uint32_t preferredBase;
    uint32_t sizeOfImage;
    uint32_t sizeOfHeaders;
    uint32_t entryRva;
    bool relocationsStripped;
    uint32_t importRva, importSize;
    uint32_t relocRva, relocSize;
    uint32_t sectionCount;
    Section sections[kMaxSections];
};

// A message for a person, built without a C library.
struct Message {
    char text[600];
    uint32_t length;

    void clear();
    Message& add(const char* s);
    Message& add(const char* s, uint32_t max);
    Message& hex(uint32_t value, int digits = 8);
    Message& dec(uint32_t value);
};

// Checks the headers and the section table. False, with the reason in `error`, for anything that
// is not a Windows CE ARM executable for this OS version that fits in a process.
bool Parse(const uint8_t* file, uint32_t size, Image* image, Message* error);

// Copies the headers and the sections into `memory` (image.sizeOfImage bytes, all zero).
void Map(const Image& image, uint8_t* memory);

// Applies the base relocations for the image mapped at `base`; `applied` counts them.
bool Relocate(const Image& image, uint8_t* memory, uint32_t base, uint32_t* applied, Message* error);

// The address of an export of `dll`, or 0 when it has none of that name.
typedef uint32_t (*Resolver)(const char* dll, const char* name);
// Fills the import address table. Every import that cannot be bound is named in `error`, and
// nothing is bound unless all of them can be.
bool BindImports(const Image& image, uint8_t* memory, Resolver resolve, uint32_t* bound, Message* error);

// Replaces each `mrs Rd, cpsr` in the executable sections by the undefined instruction
// kStatusReadTrap | Rd, so that a privileged mode that the processor does not really run in can be
// shown to the program (see celoader.cpp). Returns how many were replaced.
constexpr uint32_t kStatusReadTrap = 0xE7F5C0F0u;
uint32_t TrapStatusReads(const Image& image, uint8_t* memory);

// The section that holds `rva`, or null.
const Section* SectionAt(const Image& image, uint32_t rva);

}  // namespace peload
