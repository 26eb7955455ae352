#include "json_fields.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unordered_set>

namespace sim {

namespace {

// Board files are a few levels deep; a hundred is room for anything a person writes.
constexpr int kMaxDepth = 100;

std::string shortDump(const json& v) {
    std::string s = v.dump();
    return s.size() > 60 ? s.substr(0, 57) + "..." : s;
}

// Builds the document as the library's own reader does, and refuses what that reader would take
// without a word: a member given twice in one object (it keeps the last, so an edit that adds a key
// already there would do nothing), and nesting deeper than any board file needs, before it can
// exhaust the stack of whoever walks the result. One pass, in time that grows with the text's length
// (the library's reader with a callback for the depth takes time that grows with its square).
class StrictReader {
  public:
    StrictReader(json& result, std::string file) : dom_(result, true), file_(std::move(file)) {}

    bool null() { return value() && dom_.null(); }
    bool boolean(bool v) { return value() && dom_.boolean(v); }
    bool number_integer(json::number_integer_t v) { return value() && dom_.number_integer(v); }
    bool number_unsigned(json::number_unsigned_t v) { return value() && dom_.number_unsigned(v); }
    bool number_float(json::number_float_t v, const std::string& s) {
        return value() && dom_.number_float(v, s);
    }
    bool string(std::string& v) { return value() && dom_.string(v); }
    bool binary(json::binary_t& v) { return value() && dom_.binary(v); }
    bool start_object(std::size_t n) { return value() && enter(true) && dom_.start_object(n); }
    bool end_object() {
        levels_.pop_back();
        return dom_.end_object();
    }
    bool start_array(std::size_t n) { return value() && enter(false) && dom_.start_array(n); }
    bool end_array() {
        levels_.pop_back();
        return dom_.end_array();
    }
    bool key(std::string& k) {
        Level& level = levels_.back();
        if (!level.keys.insert(k).second)
            throw BoardError(file_ + ": " + path(k) +
                             ": given twice in one object (only one of them could count)");
        level.key = k;
        return dom_.key(k);
    }
    // The library throws the exception as its own type (parse_error, out_of_range).
    template <typename Exception>
    bool parse_error(std::size_t position, const std::string& token, const Exception& e) {
        return dom_.parse_error(position, token, e);
    }

  private:
    struct Level {
        bool object = false;
        std::unordered_set<std::string> keys;
        std::string key;   // the member being read
        size_t index = 0;  // arrays: the items begun so far
    };

    // A value begins: in an array, the next item.
    bool value() {
        if (!levels_.empty() && !levels_.back().object) ++levels_.back().index;
        return true;
    }
    bool enter(bool object) {
        if (levels_.size() >= static_cast<size_t>(kMaxDepth))
            throw BoardError(file_ + ": nested deeper than " + std::to_string(kMaxDepth) + " levels");
        levels_.push_back(Level{object, {}, {}, 0});
        return true;
    }
    std::string path(const std::string& last) const {
        std::string out;
        for (size_t i = 0; i + 1 < levels_.size(); ++i) {
            const Level& l = levels_[i];
            if (l.object)
                out += (out.empty() ? "" : ".") + l.key;
            else
                out += "[" + std::to_string(l.index - 1) + "]";
        }
        return out + (out.empty() ? "" : ".") + last;
    }

    nlohmann::detail::json_sax_dom_parser<json> dom_;
    std::string file_;
    std::vector<Level> levels_;
};

}  // namespace

json parseBoardJson(const std::string& text, const std::string& file) {
    if (text.find_first_not_of(" \t\r\n") == std::string::npos)
        throw BoardError(file + ": empty: the file holds no JSON at all");
    json result;
    try {
        StrictReader reader(result, file);
        json::sax_parse(text, &reader);
    } catch (const json::parse_error& e) {
        // The library's own prefix ("[json.exception.parse_error.101] parse error ") says nothing
        // to a person; where and what does.
        std::string what = e.what();
        const size_t at = what.find("parse error ");
        if (at != std::string::npos) what = what.substr(at + 12);
        if (e.byte >= text.size()) what += " (the file ends early: cut short?)";
        throw BoardError(file + ": not valid JSON: " + what);
    } catch (const json::exception& e) {
        // A number beyond what a double holds (1e400), say.
        std::string what = e.what();
        const size_t at = what.find("] ");
        throw BoardError(file +
                         ": not valid JSON: " + (at == std::string::npos ? what : what.substr(at + 2)));
    }
    return result;
}

Field::Field(const json& value, std::string file, std::string path)
    : v_(&value), file_(std::move(file)), path_(std::move(path)) {}

void Field::fail(const std::string& why) const {
    throw BoardError(file_ + ": " + (path_.empty() ? std::string("(top level)") : path_) + ": " + why);
}

bool Field::has(const char* key) const {
    return v_->is_object() && v_->contains(key);
}

Field Field::operator[](const char* key) const {
    if (!v_->is_object()) fail("expected an object, got " + shortDump(*v_));
    auto it = v_->find(key);
    const std::string where = path_.empty() ? key : path_ + "." + key;
    if (it == v_->end()) Field(*v_, file_, where).fail("missing");
    return Field(*it, file_, where);
}

void Field::onlyKeys(std::initializer_list<const char*> known) const {
    if (!v_->is_object()) fail("expected an object, got " + shortDump(*v_));
    for (auto it = v_->begin(); it != v_->end(); ++it) {
        bool ok = false;
        for (const char* k : known) ok = ok || it.key() == k;
        if (!ok) Field(*it, file_, path_.empty() ? it.key() : path_ + "." + it.key()).fail("unknown field");
    }
}

std::vector<Field> Field::items() const {
    if (!v_->is_array()) fail("expected an array, got " + shortDump(*v_));
    std::vector<Field> out;
    for (size_t i = 0; i < v_->size(); ++i)
        out.emplace_back((*v_)[i], file_, path_ + "[" + std::to_string(i) + "]");
    return out;
}

std::vector<std::pair<std::string, Field>> Field::members() const {
    if (!v_->is_object()) fail("expected an object, got " + shortDump(*v_));
    std::vector<std::pair<std::string, Field>> out;
    for (auto it = v_->begin(); it != v_->end(); ++it)
        out.emplace_back(it.key(), Field(*it, file_, path_.empty() ? it.key() : path_ + "." + it.key()));
    return out;
}

bool Field::boolean() const {
    if (!v_->is_boolean()) fail("expected true or false, got " + shortDump(*v_));
    return v_->get<bool>();
}

std::string Field::string() const {
    if (!v_->is_string()) fail("expected a string, got " + shortDump(*v_));
    return v_->get<std::string>();
}

int64_t Field::integer(int64_t min, int64_t max, bool hexStrings) const {
    const std::string range = "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    if (v_->is_number_unsigned()) {
        const uint64_t n = v_->get<uint64_t>();
        if (n <= static_cast<uint64_t>(INT64_MAX) && static_cast<int64_t>(n) >= min &&
            static_cast<int64_t>(n) <= max)
            return static_cast<int64_t>(n);
    } else if (v_->is_number_integer()) {
        const int64_t n = v_->get<int64_t>();
        if (n >= min && n <= max) return n;
    } else if (hexStrings && v_->is_string()) {
        const std::string s = v_->get<std::string>();
        char* end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(s.c_str(), &end, 0);
        const bool digits = !s.empty() && s[0] != '-' && s[0] != '+' && s[0] != ' ';
        if (digits && *end == '\0' && errno == 0 && min >= 0 && n <= static_cast<unsigned long long>(max) &&
            static_cast<long long>(n) >= min)
            return static_cast<int64_t>(n);
    }
    fail("expected " + range + (hexStrings ? " (decimal or \"0x...\")" : "") + ", got " + shortDump(*v_));
}

uint64_t Field::u64() const {
    if (v_->is_number_unsigned()) return v_->get<uint64_t>();
    if (v_->is_number_integer() && v_->get<int64_t>() >= 0) return static_cast<uint64_t>(v_->get<int64_t>());
    fail("expected an unsigned 64-bit number, got " + shortDump(*v_));
}

double Field::number(double min, double max) const {
    if (v_->is_number()) {
        const double n = v_->get<double>();
        if (n >= min && n <= max) return n;
    }
    char range[96];
    std::snprintf(range, sizeof range, "a number from %g to %g", min, max);
    fail(std::string("expected ") + range + ", got " + shortDump(*v_));
}

std::vector<uint8_t> Field::bytes() const {
    std::vector<uint8_t> out;
    for (const Field& f : items()) out.push_back(static_cast<uint8_t>(f.integer(0, 0xFF)));
    return out;
}

}  // namespace sim
