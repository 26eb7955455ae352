// The board's registry in the text form that platform images are built from (.reg files):
//
//   ; comment
//   [HKEY_LOCAL_MACHINE\Software\Example]
//   "Count"=dword:0000002a
//   "Path"="\\Windows\\x.exe"          (only \\ and \" are escapes)
//   "Blob"=hex:01,02,03,\              (REG_BINARY; a trailing \ continues the line)
//         04,05
//   "Raw"=hex(2):41,00,00,00          (any type as bytes)
//   "List"=multi_sz:"a","b"           (REG_MULTI_SZ)
//   @="default value"
//   IF BSP_NOEXAMPLE !                (the image builder's conditionals, IF VAR [!] / ELSE / ENDIF,
//   ENDIF BSP_NOEXAMPLE !              read as for an image that sets no BSP variable)
//
// Key and value names compare without regard to letter case. A file with any error is refused
// as a whole: the error names the file, the line and the reason.
#pragma once

#include "layer.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim::reg {

// Value types as the platform numbers them.
constexpr uint32_t kNone = 0, kSz = 1, kExpandSz = 2, kBinary = 3, kDword = 4, kMultiSz = 7;

struct ParseError : std::runtime_error {
    ParseError(std::string file, int line, std::string reason);
    std::string file;
    int line;
    std::string reason;
};

struct Value {
    std::string name;  // "" is the key's default value (@)
    uint32_t type = kNone;
    std::vector<uint8_t> data;  // as the platform returns it; strings are UTF-16LE with terminators
};

struct Key {
    std::string path;  // full path as written, root first: HKEY_LOCAL_MACHINE\Software\...
    std::vector<Value> values;
};

// ASCII case folding, which is what key and value names need here.
bool sameName(const std::string& a, const std::string& b);

class Registry {
  public:
    // Keys in file order; a key section that appears twice is merged into the first.
    const std::vector<Key>& keys() const { return keys_; }

    // A key exists when a section names it or any key below it, or when it is a root.
    bool keyExists(const std::string& path) const;
    const Value* findValue(const std::string& keyPath, const std::string& name) const;

    // Creates an empty key unless it exists; returns its place in keys().
    size_t addKey(const std::string& path);
    // Setting creates the key and replaces a value of the same name, keeping its place.
    void set(const std::string& keyPath, Value value);
    // The same in the key at `key` of keys().
    void setAt(size_t key, Value value);
    void setDword(const std::string& keyPath, const std::string& name, uint32_t v);
    void setString(const std::string& keyPath, const std::string& name, const std::string& utf8);
    // False when the key has no such value.
    bool removeValue(const std::string& keyPath, const std::string& name);
    // Removes the key and every key below it; returns how many sections went.
    size_t removeKey(const std::string& path);

    // The registry as .reg text (CRLF line ends). Comments of a parsed file are not kept.
    std::string toText() const;

  private:
    Key* findKey(const std::string& path);
    const Key* findKey(const std::string& path) const;
    void reindex();
    void reindexValues(size_t key);
    std::vector<Key> keys_;
    // By name in lower case: each key's place in keys_, and each value's place in its key. A file
    // of many keys or values is read in time that grows with its length, not its square.
    std::unordered_map<std::string, size_t> keyIndex_;
    std::vector<std::unordered_map<std::string, size_t>> valueIndex_;
};

// Roots a section may name.
bool isRootName(const std::string& name);
// Splits "A\B\\C\" into its non-empty components.
std::vector<std::string> splitPath(const std::string& path);
std::string joinPath(const std::vector<std::string>& parts);

// Parses .reg text; `file` is only used in errors. Throws ParseError.
Registry parse(const std::string& text, const std::string& file);
// A registry file's text, "" when there is none; one larger than kMaxRegistryBytes is refused
// before it is read. Throws ParseError.
std::string readText(const std::string& path);
// Loads a file (as readText reads it); a missing file is an empty registry. Throws ParseError.
Registry load(const std::string& path);
// Writes the registry to `path` atomically. Throws BoardError.
void save(const std::string& path, const Registry& r);

// The comment lines at the top of a registry file, which Registry::toText does not keep; they end
// in a line end also where the file's last line had none.
std::string leadingComments(const std::string& text);

// One value in .reg notation ("Name"=dword:..., @="..."), for showing and writing.
std::string formatValue(const Value& v);

// UTF-16LE with terminating null, as REG_SZ data is stored.
std::vector<uint8_t> stringData(const std::string& utf8);

}  // namespace sim::reg
