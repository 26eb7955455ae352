// The registry calls over the board's registry.reg.
//
// The file is read when a root key is opened and read again only after it changed; an opened key
// keeps the registry as it was when its root was opened. A file with an error is refused as a
// whole: every RegOpenKeyExW on a root then fails with ERROR_INVALID_DATA, and the error
// ("<file>:<line>: <reason>") goes once to stderr and the board's debug log. A missing file is
// an empty registry. Programs only read: there is no RegSetValueExW here (vboard edits the file).
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "../board/board.h"
#include "kernel_objects.h"
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
    std::map<uint32_t, OpenKey> keys;
    uint32_t nextKey = 0x00000A04;
};

RegistryState& registry() {
    static RegistryState s;
    return s;
}

// The registry of the current board, or null when its file is malformed.
std::shared_ptr<const reg::Registry> currentRegistry() {
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
        const std::string line = std::string(e.what()) + "\n";
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        Board::current().appendDebugLog(line);
    }
    s.loaded = now;
    s.haveLoaded = true;
    return now.registry;
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

}  // namespace

}  // namespace sim

using namespace sim;

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    // The access mask is not checked on this platform: 0 and KEY_ALL_ACCESS open alike.
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    RegistryState& s = registry();
    OpenKey base;
    if (const char* root = rootName(hKey)) {
        base.registry = currentRegistry();
        if (!base.registry) return ERROR_INVALID_DATA;
        base.path = root;
    } else {
        auto it = s.keys.find(handleValue(hKey));
        if (it == s.keys.end()) return ERROR_INVALID_HANDLE;
        base = it->second;
    }
    OpenKey key = base;
    if (lpSubKey && *lpSubKey) key.path += "\\" + toUtf8(lpSubKey);
    key.path = reg::joinPath(reg::splitPath(key.path));
    if (!key.registry->keyExists(key.path)) return ERROR_FILE_NOT_FOUND;
    const uint32_t h = s.nextKey;
    s.nextKey += 4;
    s.keys[h] = std::move(key);
    *phkResult = reinterpret_cast<HKEY>(static_cast<uintptr_t>(h));
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
