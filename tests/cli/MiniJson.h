// A small strict JSON reader for checking keelvane-cli's --json lines: objects, arrays,
// strings with every escape, numbers, true, false, null. Throws std::runtime_error on
// anything that is not one complete JSON value.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvtest {

struct JsonValue {
    enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<JsonValue> array;
    std::map<std::string, JsonValue> object;

    bool Has(const std::string& key) const { return type == Type::Object && object.count(key) != 0; }
    const JsonValue& operator[](const std::string& key) const {
        auto it = object.find(key);
        if (type != Type::Object || it == object.end()) throw std::runtime_error("no key " + key);
        return it->second;
    }
    bool IsNull() const { return type == Type::Null; }
};

class JsonReader {
public:
    static JsonValue Parse(const std::string& text) {
        JsonReader r(text);
        r.SkipSpace();
        JsonValue v = r.Value(0);
        r.SkipSpace();
        if (r.pos_ != text.size()) r.Fail("trailing characters");
        return v;
    }

private:
    explicit JsonReader(const std::string& text) : text_(text) {}

    [[noreturn]] void Fail(const std::string& what) const {
        throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(pos_));
    }
    void SkipSpace() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
    }
    char Peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    void Expect(char c) {
        if (Peek() != c) Fail(std::string("expected '") + c + "'");
        ++pos_;
    }
    void Literal(const char* word) {
        for (const char* p = word; *p; ++p) Expect(*p);
    }

    JsonValue Value(int depth) {
        if (depth > 64) Fail("nesting too deep");
        JsonValue v;
        switch (Peek()) {
        case '{': {
            v.type = JsonValue::Type::Object;
            ++pos_;
            SkipSpace();
            if (Peek() == '}') { ++pos_; return v; }
            while (true) {
                SkipSpace();
                std::string key = String();
                SkipSpace();
                Expect(':');
                SkipSpace();
                if (v.object.count(key)) Fail("duplicate key " + key);
                v.object[key] = Value(depth + 1);
                SkipSpace();
                if (Peek() == ',') { ++pos_; continue; }
                Expect('}');
                return v;
            }
        }
        case '[': {
            v.type = JsonValue::Type::Array;
            ++pos_;
            SkipSpace();
            if (Peek() == ']') { ++pos_; return v; }
            while (true) {
                SkipSpace();
                v.array.push_back(Value(depth + 1));
                SkipSpace();
                if (Peek() == ',') { ++pos_; continue; }
                Expect(']');
                return v;
            }
        }
        case '"': v.type = JsonValue::Type::String; v.string = String(); return v;
        case 't': Literal("true"); v.type = JsonValue::Type::Bool; v.boolean = true; return v;
        case 'f': Literal("false"); v.type = JsonValue::Type::Bool; return v;
        case 'n': Literal("null"); return v;
        default: v.type = JsonValue::Type::Number; v.number = Number(); return v;
        }
    }

    double Number() {
        const std::size_t start = pos_;
        if (Peek() == '-') ++pos_;
        if (Peek() == '0') {
            ++pos_;
        } else if (Peek() >= '1' && Peek() <= '9') {
            while (Peek() >= '0' && Peek() <= '9') ++pos_;
        } else {
            Fail("bad value");
        }
        if (Peek() == '.') {
            ++pos_;
            if (!(Peek() >= '0' && Peek() <= '9')) Fail("bad fraction");
            while (Peek() >= '0' && Peek() <= '9') ++pos_;
        }
        if (Peek() == 'e' || Peek() == 'E') {
            ++pos_;
            if (Peek() == '+' || Peek() == '-') ++pos_;
            if (!(Peek() >= '0' && Peek() <= '9')) Fail("bad exponent");
            while (Peek() >= '0' && Peek() <= '9') ++pos_;
        }
        return std::stod(text_.substr(start, pos_ - start));
    }

    unsigned Hex4() {
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = Peek();
            ++pos_;
            value <<= 4;
            if (c >= '0' && c <= '9') value |= unsigned(c - '0');
            else if (c >= 'a' && c <= 'f') value |= unsigned(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') value |= unsigned(c - 'A' + 10);
            else Fail("bad \\u escape");
        }
        return value;
    }

    static void AppendUtf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }

    std::string String() {
        Expect('"');
        std::string out;
        while (true) {
            if (pos_ >= text_.size()) Fail("unterminated string");
            const unsigned char c = static_cast<unsigned char>(text_[pos_++]);
            if (c == '"') return out;
            if (c < 0x20) Fail("raw control character in string");
            if (c != '\\') { out += char(c); continue; }
            const char e = Peek();
            ++pos_;
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                std::uint32_t cp = Hex4();
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    Expect('\\');
                    Expect('u');
                    const unsigned low = Hex4();
                    if (low < 0xDC00 || low > 0xDFFF) Fail("unpaired surrogate");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    Fail("unpaired surrogate");
                }
                AppendUtf8(out, cp);
                break;
            }
            default: Fail("bad escape");
            }
        }
    }

    const std::string& text_;
    std::size_t pos_ = 0;
};

}  // namespace kvtest
