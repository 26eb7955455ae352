// Reading the board's JSON files strictly. Every value is checked for its type and range before
// it is used, and every refusal names the file and the field ("state.json:
// notifications.list[2].handle: expected an unsigned 32-bit number, got \"x\""), so a hand-edited
// file never turns into a silent default or a bare library exception.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

using json = nlohmann::json;

// Bad board configuration or state: the message names the file and the field.
struct BoardError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Parses a board file's text. Nesting deeper than any board file needs is refused before it can
// exhaust the stack of whoever walks the result.
json parseBoardJson(const std::string& text, const std::string& file);

class Field {
  public:
    Field(const json& value, std::string file, std::string path);

    const json& value() const { return *v_; }
    const std::string& path() const { return path_; }
    [[noreturn]] void fail(const std::string& why) const;

    // Objects: a member that must be there, and one that may be.
    bool has(const char* key) const;
    Field operator[](const char* key) const;
    // Refuses members other than `known`.
    void onlyKeys(std::initializer_list<const char*> known) const;
    // Arrays.
    std::vector<Field> items() const;
    // Objects, member by member.
    std::vector<std::pair<std::string, Field>> members() const;

    bool isNull() const { return v_->is_null(); }
    bool isString() const { return v_->is_string(); }
    bool isObject() const { return v_->is_object(); }

    bool boolean() const;
    std::string string() const;
    // Integers in a range; "0x..." strings are accepted where `hexStrings` is set.
    int64_t integer(int64_t min, int64_t max, bool hexStrings = false) const;
    uint64_t u64() const;
    // Any number, integer or not, in a range.
    double number(double min, double max) const;
    uint32_t u32(bool hexStrings = false) const {
        return static_cast<uint32_t>(integer(0, 0xFFFFFFFFLL, hexStrings));
    }
    int32_t i32() const { return static_cast<int32_t>(integer(INT32_MIN, INT32_MAX)); }
    int64_t i64() const { return integer(INT64_MIN, INT64_MAX); }
    uint8_t byte() const { return static_cast<uint8_t>(integer(0, 0xFF, true)); }
    std::vector<uint8_t> bytes() const;

  private:
    const json* v_;
    std::string file_;
    std::string path_;
};

}  // namespace sim
