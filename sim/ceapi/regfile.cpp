#include "regfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "../board/board.h"
#include "kernel_objects.h"

namespace sim::reg {

namespace {

const char* const kRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS"};

char fold(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool startsWithFolded(const std::string& s, const std::string& prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (fold(s[i]) != fold(prefix[i])) return false;
    return true;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t';
}

std::string folded(const std::string& name) {
    std::string out = name;
    for (char& c : out) c = fold(c);
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string canonical(const std::string& path) {
    std::vector<std::string> parts = splitPath(path);
    if (!parts.empty()) {
        for (const char* root : kRoots)
            if (sameName(parts[0], root)) parts[0] = root;
    }
    return joinPath(parts);
}

void appendUtf16(std::vector<uint8_t>& out, const std::string& utf8) {
    for (char16_t c : sim::fromUtf8(utf8)) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

// Reads the physical lines of a file one at a time, for the value forms that continue a line.
class Parser {
  public:
    Parser(const std::string& text, std::string file) : file_(std::move(file)) {
        size_t start = 0;
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
        if (text.size() >= 2 &&
            ((text[0] == '\xFF' && text[1] == '\xFE') || (text[0] == '\xFE' && text[1] == '\xFF')))
            fail(1, "the file is UTF-16; registry files are read as UTF-8");
        // Lines end in CR LF (the platform's files), LF, or a lone CR (editors of old Macs): a file
        // of CR-ended lines is not one long comment line. A final line end starts no other line.
        while (start < text.size()) {
            const size_t end = text.find_first_of("\r\n", start);
            lines_.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
            if (end == std::string::npos) break;
            start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        }
    }

    Registry run() {
        Registry r;
        size_t section = 0;
        bool seenSection = false;
        for (idx_ = 0; idx_ < lines_.size(); ++idx_) {
            line_ = lines_[idx_];
            pos_ = 0;
            skipSpace();
            if (atEnd() || peek() == ';') continue;
            if (conditional()) continue;
            if (!blocks_.empty() && !blocks_.back().taken) continue;
            if (peek() == '[') {
                section = r.addKey(parseSection());
                seenSection = true;
                continue;
            }
            if (!seenSection && (line_.substr(pos_) == "REGEDIT4" ||
                                 line_.substr(pos_) == "Windows Registry Editor Version 5.00"))
                continue;
            if (peek() != '"' && peek() != '@')
                fail("expected a [key] section, a \"name\"=value line, @=value or a ; comment");
            if (!seenSection) fail("a value before the first [key] section");
            Value v = parseValueLine();
            r.setAt(section, std::move(v));
        }
        if (!blocks_.empty()) fail(blocks_.back().line, "IF without its ENDIF");
        return r;
    }

  private:
    // The image builder's conditional lines (IF VAR [!], ELSE, ENDIF), evaluated as for an image
    // that sets no BSP variable: "IF VAR" is not taken, "IF VAR !" is. True for such a line.
    bool conditional() {
        size_t end = pos_;
        while (end < line_.size() && !isSpace(line_[end]) && line_[end] != ';') ++end;
        const std::string word = line_.substr(pos_, end - pos_);
        std::vector<std::string> rest;
        for (size_t p = end;;) {
            while (p < line_.size() && isSpace(line_[p])) ++p;
            if (p >= line_.size() || line_[p] == ';') break;
            size_t q = p;
            while (q < line_.size() && !isSpace(line_[q])) ++q;
            rest.push_back(line_.substr(p, q - p));
            p = q;
        }
        const bool enclosing = blocks_.empty() || blocks_.back().taken;
        if (sameName(word, "IF")) {
            if (rest.empty() || rest.size() > 2 || (rest.size() == 2 && rest[1] != "!"))
                fail("expected IF VARIABLE or IF VARIABLE !");
            blocks_.push_back(
                Block{enclosing && rest.size() == 2, enclosing, false, static_cast<int>(idx_) + 1});
            return true;
        }
        if (sameName(word, "ELSE")) {
            if (blocks_.empty() || blocks_.back().inElse) fail("ELSE without its IF");
            Block& b = blocks_.back();
            b.taken = b.enclosing && !b.taken;
            b.inElse = true;
            return true;
        }
        if (sameName(word, "ENDIF")) {
            if (blocks_.empty()) fail("ENDIF without its IF");
            blocks_.pop_back();
            return true;
        }
        return false;
    }

    struct Block {
        bool taken;      // its lines are read
        bool enclosing;  // the block around it is
        bool inElse;
        int line;
    };
    std::vector<Block> blocks_;

    [[noreturn]] void fail(const std::string& why) const { fail(static_cast<int>(idx_) + 1, why); }
    [[noreturn]] void fail(int line, const std::string& why) const { throw ParseError(file_, line, why); }

    bool atEnd() const { return pos_ >= line_.size(); }
    char peek() const { return line_[pos_]; }
    void skipSpace() {
        while (!atEnd() && isSpace(peek())) ++pos_;
    }
    // Only spaces and perhaps a comment remain.
    bool restIsEmpty() {
        size_t p = pos_;
        while (p < line_.size() && isSpace(line_[p])) ++p;
        return p >= line_.size() || line_[p] == ';';
    }
    void expectEndOfLine(const char* what) {
        skipSpace();
        if (!atEnd() && peek() != ';')
            fail(std::string("unexpected text after ") + what + ": \"" + line_.substr(pos_) + "\"");
    }
    // A "\" as the last thing on the line: go on with the next line.
    bool continuation() {
        size_t p = pos_;
        if (p >= line_.size() || line_[p] != '\\') return false;
        ++p;
        while (p < line_.size() && isSpace(line_[p])) ++p;
        if (p < line_.size()) return false;
        if (idx_ + 1 >= lines_.size()) fail("the line is continued with \\ but the file ends");
        ++idx_;
        line_ = lines_[idx_];
        pos_ = 0;
        skipSpace();
        return true;
    }

    std::string parseSection() {
        const size_t close = line_.find(']', pos_);
        if (close == std::string::npos) fail("a [key] section without its closing ]");
        std::string path = line_.substr(pos_ + 1, close - pos_ - 1);
        pos_ = close + 1;
        expectEndOfLine("the ] of a section");
        if (!path.empty() && path[0] == '-') fail("deleting keys ([-...]) is not supported");
        if (path.empty()) fail("an empty [] section");
        size_t start = 0;
        for (;;) {
            size_t bs = path.find('\\', start);
            std::string part = path.substr(start, bs == std::string::npos ? std::string::npos : bs - start);
            if (part.empty()) fail("an empty key name in [" + path + "]");
            if (bs == std::string::npos) break;
            start = bs + 1;
        }
        std::vector<std::string> parts = splitPath(path);
        if (!isRootName(parts[0]))
            fail("the section [" + path +
                 "] does not start with HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT or "
                 "HKEY_USERS");
        return canonical(path);
    }

    // A quoted string at pos_ with the \\ and \" escapes.
    std::string parseQuoted(const char* what) {
        if (atEnd() || peek() != '"') fail(std::string("expected a quoted ") + what);
        ++pos_;
        std::string s;
        for (;;) {
            if (atEnd()) fail(std::string("the quoted ") + what + " has no closing \"");
            char c = line_[pos_++];
            if (c == '"') return s;
            if (c == '\\') {
                if (atEnd()) fail(std::string("the quoted ") + what + " has no closing \"");
                char e = line_[pos_++];
                if (e != '\\' && e != '"')
                    fail(std::string("unknown escape \\") + e + " in a quoted " + what +
                         " (only \\\\ and \\\" are escapes)");
                s += e;
            } else {
                s += c;
            }
        }
    }

    Value parseValueLine() {
        Value v;
        if (peek() == '@') {
            ++pos_;
        } else {
            v.name = parseQuoted("value name");
            if (v.name.empty()) fail("an empty value name (the default value is written @=)");
        }
        skipSpace();
        if (atEnd() || peek() != '=') fail("expected = after the value name");
        ++pos_;
        skipSpace();
        if (atEnd()) fail("no data after =");
        if (peek() == '"') {
            v.type = kSz;
            appendUtf16(v.data, parseQuoted("string"));
            expectEndOfLine("the string");
            return v;
        }
        if (peek() == '-') fail("deleting values (=-) is not supported");
        const std::string rest = line_.substr(pos_);
        auto takes = [&](const char* prefix) {
            if (!startsWithFolded(rest, prefix)) return false;
            pos_ += std::strlen(prefix);
            return true;
        };
        if (takes("dword:")) {
            v.type = kDword;
            uint32_t n = 0;
            int digits = 0;
            while (!atEnd() && hexDigit(peek()) >= 0) {
                if (++digits > 8) fail("a dword has at most 8 hex digits");
                n = (n << 4) | static_cast<uint32_t>(hexDigit(line_[pos_++]));
            }
            if (digits == 0) fail("dword: needs 1 to 8 hex digits");
            expectEndOfLine("the dword");
            for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<uint8_t>(n >> (8 * i)));
            return v;
        }
        if (takes("multi_sz:")) {
            v.type = kMultiSz;
            parseMultiSz(v.data);
            return v;
        }
        if (takes("hex")) {
            v.type = kBinary;
            if (!atEnd() && peek() == '(') {
                ++pos_;
                uint32_t t = 0;
                int digits = 0;
                while (!atEnd() && hexDigit(peek()) >= 0) {
                    if (++digits > 8) fail("hex(type): the type has at most 8 hex digits");
                    t = (t << 4) | static_cast<uint32_t>(hexDigit(line_[pos_++]));
                }
                if (digits == 0 || atEnd() || peek() != ')') fail("expected hex(type): with the type in hex");
                ++pos_;
                v.type = t;
            }
            if (atEnd() || peek() != ':') fail("expected : after hex");
            ++pos_;
            parseHexBytes(v.data);
            return v;
        }
        fail("unknown data form \"" + rest + "\" (expected \"text\", dword:, hex:, hex(type): or multi_sz:)");
    }

    void parseHexBytes(std::vector<uint8_t>& out) {
        bool needByte = false;  // after a comma
        for (;;) {
            skipSpace();
            if (continuation()) continue;
            if (atEnd() || peek() == ';') {
                if (needByte) fail("the hex data ends with a comma");
                return;
            }
            if (!out.empty() && !needByte) fail("expected a comma between hex bytes");
            int hi = hexDigit(peek());
            if (hi < 0) fail(std::string("expected a hex byte, found '") + peek() + "'");
            ++pos_;
            int value = hi;
            if (!atEnd() && hexDigit(peek()) >= 0) value = value * 16 + hexDigit(line_[pos_++]);
            if (!atEnd() && hexDigit(peek()) >= 0) fail("a hex byte has at most 2 digits");
            out.push_back(static_cast<uint8_t>(value));
            needByte = false;
            skipSpace();
            if (!atEnd() && peek() == ',') {
                ++pos_;
                needByte = true;
            }
        }
    }

    void parseMultiSz(std::vector<uint8_t>& out) {
        bool needString = false;
        bool any = false;
        for (;;) {
            skipSpace();
            if (continuation()) continue;
            if (atEnd() || peek() == ';') {
                if (needString) fail("the multi_sz list ends with a comma");
                break;
            }
            if (any && !needString) fail("expected a comma between multi_sz strings");
            std::string s = parseQuoted("multi_sz string");
            if (s.empty()) fail("an empty string inside multi_sz would end the list early");
            appendUtf16(out, s);
            any = true;
            needString = false;
            skipSpace();
            if (!atEnd() && peek() == ',') {
                ++pos_;
                needString = true;
            }
        }
        out.push_back(0);
        out.push_back(0);
    }

    std::string file_;
    std::vector<std::string> lines_;
    size_t idx_ = 0;
    std::string line_;
    size_t pos_ = 0;
};

std::string quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// UTF-16LE strings of `data`, each with its terminator; false when the data are not exactly that.
bool splitStrings(const std::vector<uint8_t>& data, std::vector<std::string>& out) {
    if (data.size() % 2 != 0 || data.size() < 2) return false;
    std::u16string cur;
    for (size_t i = 0; i < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0) {
            out.push_back(sim::toUtf8(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    return cur.empty();
}

}  // namespace

// Line 0: the file as a whole.
ParseError::ParseError(std::string f, int l, std::string r)
    : std::runtime_error(f + (l > 0 ? ":" + std::to_string(l) : std::string()) + ": " + r),
      file(std::move(f)),
      line(l),
      reason(std::move(r)) {}

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && startsWithFolded(a, b);
}

bool isRootName(const std::string& name) {
    for (const char* root : kRoots)
        if (sameName(name, root)) return true;
    return false;
}

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : path) {
        if (c == '\\') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

std::string joinPath(const std::vector<std::string>& parts) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += '\\';
        out += parts[i];
    }
    return out;
}

std::vector<uint8_t> stringData(const std::string& utf8) {
    std::vector<uint8_t> out;
    appendUtf16(out, utf8);
    return out;
}

Key* Registry::findKey(const std::string& path) {
    const auto it = keyIndex_.find(folded(path));
    return it == keyIndex_.end() ? nullptr : &keys_[it->second];
}

const Key* Registry::findKey(const std::string& path) const {
    const auto it = keyIndex_.find(folded(path));
    return it == keyIndex_.end() ? nullptr : &keys_[it->second];
}

void Registry::reindexValues(size_t key) {
    std::unordered_map<std::string, size_t>& index = valueIndex_[key];
    index.clear();
    const std::vector<Value>& values = keys_[key].values;
    for (size_t i = 0; i < values.size(); ++i) index.emplace(folded(values[i].name), i);
}

void Registry::reindex() {
    keyIndex_.clear();
    valueIndex_.assign(keys_.size(), {});
    for (size_t k = 0; k < keys_.size(); ++k) {
        keyIndex_.emplace(folded(keys_[k].path), k);
        reindexValues(k);
    }
}

size_t Registry::addKey(const std::string& path) {
    const std::string c = canonical(path);
    const auto [it, added] = keyIndex_.emplace(folded(c), keys_.size());
    if (added) {
        keys_.push_back(Key{c, {}});
        valueIndex_.emplace_back();
    }
    return it->second;
}

bool Registry::keyExists(const std::string& path) const {
    const std::string c = canonical(path);
    if (isRootName(c)) return true;
    for (const Key& k : keys_)
        if (sameName(k.path, c) ||
            (k.path.size() > c.size() && startsWithFolded(k.path, c) && k.path[c.size()] == '\\'))
            return true;
    return false;
}

const Value* Registry::findValue(const std::string& keyPath, const std::string& name) const {
    const Key* k = findKey(canonical(keyPath));
    if (!k) return nullptr;
    const std::unordered_map<std::string, size_t>& index = valueIndex_[static_cast<size_t>(k - keys_.data())];
    const auto it = index.find(folded(name));
    return it == index.end() ? nullptr : &k->values[it->second];
}

void Registry::set(const std::string& keyPath, Value value) {
    const std::string c = canonical(keyPath);
    if (splitPath(c).empty() || !isRootName(splitPath(c)[0]))
        throw std::invalid_argument("registry key \"" + keyPath + "\" does not start with a root key");
    setAt(addKey(c), std::move(value));
}

void Registry::setAt(size_t key, Value value) {
    std::vector<Value>& values = keys_.at(key).values;
    const auto [it, added] = valueIndex_[key].emplace(folded(value.name), values.size());
    if (added)
        values.push_back(std::move(value));
    else
        values[it->second] = std::move(value);
}

void Registry::setDword(const std::string& keyPath, const std::string& name, uint32_t n) {
    Value v{name, kDword, {}};
    for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<uint8_t>(n >> (8 * i)));
    set(keyPath, std::move(v));
}

void Registry::setString(const std::string& keyPath, const std::string& name, const std::string& utf8) {
    set(keyPath, Value{name, kSz, stringData(utf8)});
}

bool Registry::removeValue(const std::string& keyPath, const std::string& name) {
    Key* k = findKey(canonical(keyPath));
    if (!k) return false;
    const size_t key = static_cast<size_t>(k - keys_.data());
    const auto it = valueIndex_[key].find(folded(name));
    if (it == valueIndex_[key].end()) return false;
    k->values.erase(k->values.begin() + static_cast<std::ptrdiff_t>(it->second));
    reindexValues(key);
    return true;
}

size_t Registry::removeKey(const std::string& path) {
    const std::string c = canonical(path);
    const size_t before = keys_.size();
    std::erase_if(keys_, [&](const Key& k) {
        return sameName(k.path, c) ||
               (k.path.size() > c.size() && startsWithFolded(k.path, c) && k.path[c.size()] == '\\');
    });
    reindex();
    return before - keys_.size();
}

std::string leadingComments(const std::string& text) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t nl = text.find('\n', pos);
        const std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl + 1 - pos);
        const size_t first = line.find_first_not_of(" \t\r\n");
        if (first != std::string::npos && line[first] != ';') break;
        out += line;
        if (nl == std::string::npos) break;
        pos = nl + 1;
    }
    // The last line of a file saved without a line end: what follows it starts a line of its own.
    if (!out.empty() && out.back() != '\n' && out.back() != '\r') out += "\r\n";
    return out;
}

std::string formatValue(const Value& v) {
    std::string out = v.name.empty() ? "@" : quote(v.name);
    out += "=";
    std::vector<std::string> strings;
    if (v.type == kDword && v.data.size() == 4) {
        char buf[16];
        uint32_t n =
            v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "dword:%08x", n);
        return out + buf;
    }
    if (v.type == kSz && splitStrings(v.data, strings) && strings.size() == 1) return out + quote(strings[0]);
    strings.clear();
    if (v.type == kMultiSz && splitStrings(v.data, strings) && !strings.empty() && strings.back().empty()) {
        bool ok = strings.size() >= 2;
        for (size_t i = 0; i + 1 < strings.size(); ++i) ok = ok && !strings[i].empty();
        if (ok) {
            out += "multi_sz:";
            for (size_t i = 0; i + 1 < strings.size(); ++i) out += (i ? "," : "") + quote(strings[i]);
            return out;
        }
    }
    char buf[24];
    if (v.type == kBinary)
        out += "hex:";
    else {
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        out += buf;
    }
    for (size_t i = 0; i < v.data.size(); ++i) {
        if (i) out += (i % 24 == 0) ? ",\\\r\n  " : ",";
        std::snprintf(buf, sizeof buf, "%02x", v.data[i]);
        out += buf;
    }
    return out;
}

std::string Registry::toText() const {
    std::string out;
    for (const Key& k : keys_) {
        if (!out.empty()) out += "\r\n";
        out += "[" + k.path + "]\r\n";
        for (const Value& v : k.values) out += formatValue(v) + "\r\n";
    }
    return out;
}

Registry parse(const std::string& text, const std::string& file) {
    return Parser(text, file).run();
}

std::string readText(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return "";
        throw ParseError(path, 0, std::string("cannot read: ") + std::strerror(errno));
    }
    if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > kMaxRegistryBytes)
        throw ParseError(path, 0, tooLargeText(static_cast<uint64_t>(st.st_size), kMaxRegistryBytes));
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ParseError(path, 0, std::string("cannot read: ") + std::strerror(errno));
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Registry load(const std::string& path) {
    return parse(readText(path), path);
}

void save(const std::string& path, const Registry& r) {
    writeFileAtomically(path, r.toText());
}

}  // namespace sim::reg
