#include "cli/Json.h"

#include <cmath>
#include <cstdio>

namespace cli {

namespace {

// Length of the well-formed UTF-8 sequence at text[i], or 0 when it is not one (overlong
// forms, surrogates and code points past U+10FFFF count as malformed).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    std::size_t length;
    std::uint32_t codePoint;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        codePoint = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        codePoint = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        codePoint = b0 & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3Fu);
    }
    if ((length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000)) return 0;
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return 0;
    if (codePoint > 0x10FFFF) return 0;
    return length;
}

void AppendUnicodeEscape(std::string& out, unsigned value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", value);
    out += buffer;
}

}  // namespace

std::string JsonQuote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F)
                    AppendUnicodeEscape(out, c);
                else
                    out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        if (std::size_t length = Utf8SequenceLength(text, i)) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            AppendUnicodeEscape(out, c);   // the byte as a Latin-1 character
            ++i;
        }
    }
    out += '"';
    return out;
}

void JsonObject::Key(std::string_view key) {
    if (body_.size() > 1) body_ += ',';
    body_ += JsonQuote(key);
    body_ += ':';
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view value) {
    Key(key);
    body_ += JsonQuote(value);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::int64_t value) {
    Key(key);
    body_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, double value) {
    Key(key);
    if (!std::isfinite(value)) {
        body_ += "null";   // JSON has no NaN or infinity
    } else {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.3f", value);
        body_ += buffer;
    }
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, bool value) {
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::AddNull(std::string_view key) {
    Key(key);
    body_ += "null";
    return *this;
}

JsonObject& JsonObject::Add(std::string_view key, const std::vector<std::string>& values) {
    Key(key);
    body_ += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) body_ += ',';
        body_ += JsonQuote(values[i]);
    }
    body_ += ']';
    return *this;
}

JsonObject& JsonObject::AddRaw(std::string_view key, std::string_view json) {
    Key(key);
    body_ += json;
    return *this;
}

}  // namespace cli
