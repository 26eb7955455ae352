#include "json_fields.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

// Board files are a few levels deep; a hundred is room for anything a person writes.
constexpr int kMaxDepth = 100;

std::string shortDump(const json& v) {
    std::string s = v.dump();
    return s.size() > 60 ? s.substr(0, 57) + "..." : s;
}

}  // namespace

json parseBoardJson(const std::string& text, const std::string& file) {
    try {
        return json::parse(text, [&](int depth, json::parse_event_t, json&) {
            if (depth > kMaxDepth)
                throw BoardError(file + ": nested deeper than " + std::to_string(kMaxDepth) + " levels");
            return true;
        });
    } catch (const json::parse_error& e) {
        throw BoardError(file + ": not valid JSON: " + e.what());
    }
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
