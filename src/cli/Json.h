// Just enough JSON for --json: one flat object per line. Texts from drives (INQUIRY strings,
// file names) can hold any byte, so the escaper always yields valid JSON: control characters
// are escaped and bytes that are not well-formed UTF-8 are read as Latin-1.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// The JSON string literal for `text`, quotes included.
std::string JsonQuote(std::string_view text);

// Builds {"k":v,...} in insertion order.
class JsonObject {
public:
    JsonObject& Add(std::string_view key, std::string_view value);
    JsonObject& Add(std::string_view key, const char* value) { return Add(key, std::string_view(value)); }
    JsonObject& Add(std::string_view key, const std::string& value) { return Add(key, std::string_view(value)); }
    JsonObject& Add(std::string_view key, std::int64_t value);
    JsonObject& Add(std::string_view key, int value) { return Add(key, static_cast<std::int64_t>(value)); }
    JsonObject& Add(std::string_view key, unsigned value) { return Add(key, static_cast<std::int64_t>(value)); }
    JsonObject& Add(std::string_view key, double value);
    JsonObject& Add(std::string_view key, bool value);
    JsonObject& AddNull(std::string_view key);
    JsonObject& Add(std::string_view key, const std::vector<std::string>& values);
    // An already encoded JSON value (an object or array built elsewhere).
    JsonObject& AddRaw(std::string_view key, std::string_view json);

    std::string Str() const { return body_ + "}"; }

private:
    void Key(std::string_view key);
    std::string body_ = "{";
};

}  // namespace cli
