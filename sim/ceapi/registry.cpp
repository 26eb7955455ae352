// The registry calls over the board's registry.reg.
//
// The file is read when a root key is opened and read again only after it changed; an opened key
// keeps the registry as it was when its root was opened (or when a value was last set through it).
// A file with an error is refused as a whole: every RegOpenKeyExW on a root then fails with
// ERROR_INVALID_DATA, and the error ("<file>:<line>: <reason>") goes once to stderr and the
// board's debug log. A missing file is an empty registry.
//
// As on the device, what a program creates or sets lives in the registry's RAM until it is flushed
// (RegFlushKey): every program sees it at once, but only a flush writes it to registry.reg, and a
// power-down loses what was not flushed. The RAM part is kept in the board's state; so is a zone
// set by SetTimeZoneInformation, which a flush writes to board.json.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>

#include "../board/board.h"
#include "kernel_objects.h"
#include "launch.h"
#include "regfile.h"

namespace sim {

namespace {

struct Loaded {
    std::string path;
    bool present = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {0, 0};
    std::shared_ptr<const reg::Registry> registry;  // null: the file is malformed
};

struct OpenKey {
    std::shared_ptr<const reg::Registry> registry;
    std::string path;
};

struct RegistryState {
    Loaded loaded;
    bool haveLoaded = false;
    std::shared_ptr<const reg::Registry> mergedBase, merged;  // the last file + RAM laid together
    std::string mergedRam;
    std::map<uint32_t, OpenKey> keys;
    uint32_t nextKey = 0x00000A04;
};

RegistryState& registry() {
    static RegistryState s;
    return s;
}

void reportMalformed(const reg::ParseError& e) {
    const std::string line = std::string(e.what()) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    Board::current().appendDebugLog(line);
}

// registry.reg of the current board, or null when it is malformed.
std::shared_ptr<const reg::Registry> fileRegistry() {
    RegistryState& s = registry();
    Loaded now;
    now.path = Board::current().path("registry.reg");
    struct stat st;
    if (::stat(now.path.c_str(), &st) == 0) {
        now.present = true;
        now.dev = st.st_dev;
        now.ino = st.st_ino;
        now.size = st.st_size;
        now.mtime = st.st_mtim;
    }
    const Loaded& old = s.loaded;
    if (s.haveLoaded && old.path == now.path && old.present == now.present && old.dev == now.dev &&
        old.ino == now.ino && old.size == now.size && old.mtime.tv_sec == now.mtime.tv_sec &&
        old.mtime.tv_nsec == now.mtime.tv_nsec)
        return old.registry;
    try {
        now.registry = std::make_shared<const reg::Registry>(reg::load(now.path));
    } catch (const reg::ParseError& e) {
        reportMalformed(e);
    }
    s.loaded = now;
    s.haveLoaded = true;
    return now.registry;
}

const char* const kRamName = "the registry's RAM (state.json registryNotFlushed)";

// Lays the values and keys of `ram` (.reg text) over `r`.
void overlay(reg::Registry& r, const std::string& ram) {
    const reg::Registry changes = reg::parse(ram, kRamName);
    for (const reg::Key& k : changes.keys()) {
        r.addKey(k.path);
        for (const reg::Value& v : k.values) r.set(k.path, v);
    }
}

// The registry as the board's programs see it: registry.reg with its RAM part over it; null when
// either is malformed.
std::shared_ptr<const reg::Registry> currentRegistry() {
    std::shared_ptr<const reg::Registry> file = fileRegistry();
    if (!file) return nullptr;
    const std::string ram = Board::current().readState().registryNotFlushed;
    if (ram.empty()) return file;
    RegistryState& s = registry();
    if (s.mergedBase == file && s.mergedRam == ram) return s.merged;
    auto merged = std::make_shared<reg::Registry>(*file);
    try {
        overlay(*merged, ram);
    } catch (const reg::ParseError& e) {
        reportMalformed(e);
        return nullptr;
    }
    s.mergedBase = file;
    s.mergedRam = ram;
    s.merged = merged;
    return merged;
}

// Changes the registry's RAM part (under the board's lock).
void changeRam(const std::function<void(reg::Registry&)>& change) {
    Board::current().updateState([&](BoardState& s) {
        reg::Registry ram = reg::parse(s.registryNotFlushed, kRamName);
        change(ram);
        s.registryNotFlushed = ram.toText();
    });
}

const char* rootName(HKEY h) {
    if (h == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
    if (h == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
    if (h == HKEY_CLASSES_ROOT) return "HKEY_CLASSES_ROOT";
    if (h == HKEY_USERS) return "HKEY_USERS";
    return nullptr;
}

uint32_t handleValue(HKEY h) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h));
}

// The key `hKey` names (a root or an open handle) with `subKey` below it.
LONG resolveKey(HKEY hKey, LPCWSTR subKey, OpenKey& key) {
    if (const char* root = rootName(hKey)) {
        key.registry = currentRegistry();
        if (!key.registry) return ERROR_INVALID_DATA;
        key.path = root;
    } else {
        auto it = registry().keys.find(handleValue(hKey));
        if (it == registry().keys.end()) return ERROR_INVALID_HANDLE;
        key = it->second;
    }
    if (subKey && *subKey) key.path += "\\" + toUtf8(subKey);
    key.path = reg::joinPath(reg::splitPath(key.path));
    return ERROR_SUCCESS;
}

HKEY addHandle(OpenKey key) {
    RegistryState& s = registry();
    const uint32_t h = s.nextKey;
    s.nextKey += 4;
    s.keys[h] = std::move(key);
    return reinterpret_cast<HKEY>(static_cast<uintptr_t>(h));
}

}  // namespace

std::shared_ptr<const reg::Registry> registryAsProgramsSeeIt() {
    return currentRegistry();
}

void flushRegistry() {
    const Board& board = Board::current();
    board.updateState([&](BoardState& s) {
        if (!s.registryNotFlushed.empty()) {
            const std::string file = board.path("registry.reg");
            const std::string text = reg::readText(file);
            reg::Registry r = reg::parse(text, file);
            overlay(r, s.registryNotFlushed);
            writeFileAtomically(file, reg::leadingComments(text) + r.toText());
            s.registryNotFlushed.clear();
        }
        // The zone a program set lives in the registry too (the platform's HKEY_LOCAL_MACHINE\Time);
        // its persistent copy is board.json's record.
        if (s.timeZoneNotFlushed) {
            replaceBoardJsonEntry(board.dir(), "timeZone", timeZoneToJson(*s.timeZoneNotFlushed));
            s.timeZoneNotFlushed.reset();
        }
    });
}

}  // namespace sim

using namespace sim;

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    // The access mask is not checked on this platform: 0 and KEY_ALL_ACCESS open alike.
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    OpenKey key;
    const LONG r = resolveKey(hKey, lpSubKey, key);
    if (r != ERROR_SUCCESS) return r;
    if (!key.registry->keyExists(key.path)) return ERROR_FILE_NOT_FOUND;
    *phkResult = addHandle(std::move(key));
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                     PHKEY phkResult, LPDWORD lpdwDisposition) {
    // Without a subkey it opens hKey itself, as RegOpenKeyExW would.
    if (!phkResult || (lpSubKey && *lpSubKey == u'\\')) return ERROR_INVALID_PARAMETER;
    OpenKey key;
    const LONG r = resolveKey(hKey, lpSubKey, key);
    if (r != ERROR_SUCCESS) return r;
    const bool exists = key.registry->keyExists(key.path);
    if (!exists) {
        try {
            changeRam([&](reg::Registry& ram) { ram.addKey(key.path); });
        } catch (const std::exception&) {
            return ERROR_INVALID_DATA;
        }
        key.registry = currentRegistry();
        if (!key.registry) return ERROR_INVALID_DATA;
    }
    if (lpdwDisposition) *lpdwDisposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *phkResult = addHandle(std::move(key));
    return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
    // An open key, or a root itself.
    OpenKey key;
    const LONG opened = resolveKey(hKey, nullptr, key);
    if (opened != ERROR_SUCCESS) return opened;
    auto it = registry().keys.find(handleValue(hKey));
    if (Reserved || (!lpData && cbData)) return ERROR_INVALID_PARAMETER;
    reg::Value v;
    v.name = lpValueName ? toUtf8(lpValueName) : "";
    v.type = dwType;
    if (cbData) v.data.assign(lpData, lpData + cbData);
    const std::string path = key.path;
    // Whatever the RAM part holds must read back as it was set.
    const std::string text = "[" + path + "]\r\n" + reg::formatValue(v) + "\r\n";
    try {
        const reg::Registry parsed = reg::parse(text, kRamName);
        const reg::Value* back = parsed.findValue(path, v.name);
        if (!back || back->type != v.type || back->data != v.data) return ERROR_INVALID_PARAMETER;
        changeRam([&](reg::Registry& ram) { ram.set(path, v); });
    } catch (const std::exception&) {
        return ERROR_INVALID_PARAMETER;
    }
    std::shared_ptr<const reg::Registry> now = currentRegistry();
    if (!now) return ERROR_INVALID_DATA;
    if (it != registry().keys.end()) it->second.registry = now;
    return ERROR_SUCCESS;
}

LONG RegFlushKey(HKEY hKey) {
    if (!rootName(hKey) && registry().keys.find(handleValue(hKey)) == registry().keys.end())
        return ERROR_INVALID_HANDLE;
    try {
        flushRegistry();
    } catch (const std::exception&) {
        return ERROR_INVALID_DATA;  // registry.reg is malformed: nothing was written
    }
    return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    RegistryState& s = registry();
    auto it = s.keys.find(handleValue(hKey));
    if (it == s.keys.end()) return ERROR_INVALID_HANDLE;
    if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    const reg::Value* v =
        it->second.registry->findValue(it->second.path, lpValueName ? toUtf8(lpValueName) : "");
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (lpType) *lpType = v->type;
    const DWORD size = static_cast<DWORD>(v->data.size());
    if (!lpData) {
        if (lpcbData) *lpcbData = size;
        return ERROR_SUCCESS;
    }
    // The stored type is not compared with what the caller expects: the bytes are copied as
    // they are, and a buffer that is too small receives nothing.
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(lpData, v->data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
    if (rootName(hKey)) return ERROR_SUCCESS;
    return registry().keys.erase(handleValue(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
