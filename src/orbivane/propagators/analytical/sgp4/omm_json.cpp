// OMM records in JSON, read by a strict parser of the JSON grammar
// (RFC 8259): the whole document must be JSON, or it is refused whole.
// Strings are unescaped (\uXXXX pairs included; a lone surrogate becomes
// U+FFFD, as it has no UTF-8 form); numbers are kept as their text, which
// the record reader converts as it converts any text.
#include "omm_parsers.hpp"

namespace orbivane::sgp4 {

namespace {

constexpr int kMaxDepth = 64;
constexpr bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
// Values no field takes are shown in messages up to this many bytes.
constexpr std::size_t kShownBytes = 40;

class JsonReader {
public:
    JsonReader(std::string_view text, ParsedRecords& out) : s_(text), out_(out) {}

    std::string read() {
        space();
        if (!at('[') && !at('{')) {
            FieldValue ignored;
            if (!value(ignored, 0)) return syntax_error();
            return "not an OMM in JSON: an array of objects, or one object, not " + std::string(kind_);
        }
        if (at('{')) {
            RecordValues record;
            if (!object(record, 0)) return syntax_error();
            out_.add(record);
        } else if (!records()) {
            return syntax_error();
        }
        space();
        if (i_ != s_.size() && !fail("extra data after the document")) return syntax_error();
        return {};
    }

private:
    bool at(char c) const { return i_ < s_.size() && s_[i_] == c; }
    void space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }
    bool fail(const char* problem) {
        if (problem_.empty()) {
            std::size_t line = 1, line_start = 0;
            for (std::size_t j = 0; j < i_ && j < s_.size(); ++j)
                if (s_[j] == '\n') ++line, line_start = j + 1;
            problem_ = "line " + std::to_string(line) + ", column " + std::to_string(i_ - line_start + 1) + ": " +
                       problem;
        }
        return false;
    }
    std::string syntax_error() const { return "not JSON (" + problem_ + ")"; }
    bool expect(char c, const char* problem) {
        space();
        if (!at(c)) return fail(problem);
        ++i_;
        return true;
    }

    // The array of records: objects, and anything else refused as a record.
    bool records() {
        ++i_;
        space();
        if (at(']')) return ++i_, true;
        for (;;) {
            space();
            RecordValues record;
            if (at('{')) {
                if (!object(record, 1)) return false;
                out_.add(record);
            } else {
                FieldValue ignored;
                if (!value(ignored, 1)) return false;
                out_.add(record, "is not an object of OMM fields, but " + std::string(kind_));
            }
            space();
            if (at(']')) return ++i_, true;
            if (!expect(',', "',' or ']' expected")) return false;
        }
    }

    bool object(RecordValues& record, int depth) {
        ++i_;
        space();
        if (at('}')) return ++i_, true;
        for (;;) {
            space();
            std::string_view key;
            if (!at('"')) return fail("a key in double quotes expected");
            if (!string(key) || !expect(':', "':' expected")) return false;
            space();
            FieldValue v;
            if (!value(v, depth + 1)) return false;
            if (const int k = omm_key_of(key); k >= 0) record[static_cast<std::size_t>(k)] = v;
            space();
            if (at('}')) return ++i_, true;
            if (!expect(',', "',' or '}' expected")) return false;
        }
    }

    bool value(FieldValue& out, int depth) {
        if (depth > kMaxDepth) return fail("values nested too deeply");
        const std::size_t start = i_;
        if (at('"')) {
            kind_ = "a string";
            std::string_view text;
            if (!string(text)) return false;
            while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
            while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
            out = {text.empty() ? FieldValue::Kind::kAbsent : FieldValue::Kind::kText, text};
            return true;
        }
        if (at('-') || (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9')) {
            kind_ = "a number";
            if (!number()) return false;
            out = {FieldValue::Kind::kText, s_.substr(start, i_ - start)};
            return true;
        }
        for (const std::string_view literal : {"null", "true", "false"}) {
            if (s_.substr(i_, literal.size()) == literal) {
                i_ += literal.size();
                kind_ = literal == "null" ? "null" : "a boolean";
                out = {literal == "null" ? FieldValue::Kind::kAbsent : FieldValue::Kind::kOther, literal};
                return true;
            }
        }
        if (at('[') || at('{')) {
            const bool array = at('[');
            if (!nested(array, depth)) return false;
            kind_ = array ? "an array" : "an object";
            out = {FieldValue::Kind::kOther, s_.substr(start, std::min(i_ - start, kShownBytes))};
            return true;
        }
        return fail("a value expected");
    }

    // An array or object inside a record, which no field takes: checked,
    // then passed over.
    bool nested(bool array, int depth) {
        const char close = array ? ']' : '}';
        ++i_;
        space();
        if (at(close)) return ++i_, true;
        for (;;) {
            space();
            if (!array) {
                std::string_view key;
                if (!at('"')) return fail("a key in double quotes expected");
                if (!string(key) || !expect(':', "':' expected")) return false;
                space();
            }
            FieldValue ignored;
            if (!value(ignored, depth + 1)) return false;
            space();
            if (at(close)) return ++i_, true;
            if (!expect(',', array ? "',' or ']' expected" : "',' or '}' expected")) return false;
        }
    }

    bool digits() {
        const std::size_t start = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        return i_ > start || fail("a digit expected");
    }

    // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    bool number() {
        if (at('-')) ++i_;
        if (at('0')) {
            ++i_;
        } else if (!digits()) {
            return false;
        }
        if (at('.') && (++i_, !digits())) return false;
        if (at('e') || at('E')) {
            ++i_;
            if (at('+') || at('-')) ++i_;
            if (!digits()) return false;
        }
        return true;
    }

    // A string at i_ (a double quote): a view of the file's text when it
    // has no escapes, else of the unescaped text kept in the records.
    bool string(std::string_view& out) {
        const std::size_t start = ++i_;
        while (i_ < s_.size() && s_[i_] != '"' && s_[i_] != '\\' && static_cast<unsigned char>(s_[i_]) >= 0x20) ++i_;
        if (at('"')) {
            out = s_.substr(start, i_++ - start);
            return true;
        }
        std::string& text = out_.storage.emplace_back(s_.substr(start, i_ - start));
        for (;;) {
            if (i_ >= s_.size()) return fail("a string is not closed");
            const char c = s_[i_];
            if (c == '"') break;
            if (static_cast<unsigned char>(c) < 0x20) return fail("a control character in a string");
            if (c != '\\') {
                text += c;
                ++i_;
                continue;
            }
            if (!escape(text)) return false;
        }
        ++i_;
        out = text;
        return true;
    }

    bool escape(std::string& text) {
        ++i_;
        if (i_ >= s_.size()) return fail("a string is not closed");
        const char c = s_[i_++];
        switch (c) {
            case '"': case '\\': case '/': text += c; return true;
            case 'b': text += '\b'; return true;
            case 'f': text += '\f'; return true;
            case 'n': text += '\n'; return true;
            case 'r': text += '\r'; return true;
            case 't': text += '\t'; return true;
            case 'u': break;
            default: --i_; return fail("an unknown escape in a string");
        }
        unsigned code = 0;
        if (!hex4(code)) return false;
        if (code >= 0xd800 && code < 0xdc00 && s_.substr(i_, 2) == "\\u") {
            const std::size_t back = i_;
            i_ += 2;
            unsigned low = 0;
            if (!hex4(low)) return false;
            if (low >= 0xdc00 && low < 0xe000) {
                code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
            } else {
                i_ = back;  // not a pair: the second escape stands alone
            }
        }
        if (code >= 0xd800 && code < 0xe000) code = 0xfffd;
        append_utf8(text, code);
        return true;
    }

    bool hex4(unsigned& code) {
        for (int k = 0; k < 4; ++k, ++i_) {
            const char h = i_ < s_.size() ? s_[i_] : '\0';
            const int d = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10
                        : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
            if (d < 0) return fail("a \\u escape without four hex digits");
            code = code * 16 + static_cast<unsigned>(d);
        }
        return true;
    }

    static void append_utf8(std::string& text, unsigned code) {
        const auto byte = [&](unsigned b) { text += static_cast<char>(b); };
        if (code < 0x80) {
            byte(code);
        } else if (code < 0x800) {
            byte(0xc0 | code >> 6), byte(0x80 | (code & 0x3f));
        } else if (code < 0x10000) {
            byte(0xe0 | code >> 12), byte(0x80 | (code >> 6 & 0x3f)), byte(0x80 | (code & 0x3f));
        } else {
            byte(0xf0 | code >> 18), byte(0x80 | (code >> 12 & 0x3f)), byte(0x80 | (code >> 6 & 0x3f)),
                byte(0x80 | (code & 0x3f));
        }
    }

    std::string_view s_;
    std::size_t i_ = 0;
    ParsedRecords& out_;
    std::string problem_;
    const char* kind_ = "";  // of the last value read, for messages
};

}  // namespace

std::string parse_omm_json(std::string_view text, ParsedRecords& out) {
    if (text.starts_with("\xef\xbb\xbf")) text.remove_prefix(3);
    return JsonReader(text, out).read();
}

}  // namespace orbivane::sgp4
