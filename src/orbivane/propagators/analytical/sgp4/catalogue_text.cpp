// Splitting a catalogue text into element sets and decoding them.
#include "catalogue_text.hpp"

#include "element_decoding.hpp"

namespace orbivane::sgp4 {

namespace {

constexpr bool is_space(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view without_trailing_space(std::string_view s) {
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// The 0-based offset of the first byte outside ASCII, or npos.
std::size_t first_non_ascii(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80) return i;
    return std::string_view::npos;
}

// The bytes of the UTF-8 sequence that starts at `at` (or the one byte
// there, when it starts none).
std::string_view character_at(std::string_view s, std::size_t at) {
    const auto lead = static_cast<unsigned char>(s[at]);
    const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
    return s.substr(at, length);
}

}  // namespace

CatalogueText::CatalogueText(std::string_view text) {
    if (text.starts_with("\xef\xbb\xbf")) text.remove_prefix(3);
    int number = 0;
    while (!text.empty()) {
        ++number;
        std::size_t end = 0;
        while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
        const std::string_view line = without_trailing_space(text.substr(0, end));
        if (!line.empty()) lines_.push_back({line, number});
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
        text.remove_prefix(end < text.size() ? end + 1 : end);
    }
}

// Line i starts as line `digit` of a set does: the digit, then a blank.
bool CatalogueText::is_line(std::size_t i, char digit) const {
    if (i >= lines_.size()) return false;
    const std::string_view text = lines_[i].text;
    return text[0] == digit && (text.size() == 1 || text[1] == ' ');
}

// A set starts at line i: lines 1 and 2, or a name line above them.
bool CatalogueText::set_starts_at(std::size_t i) const {
    const bool numbered = is_line(i, '1') || is_line(i, '2');
    return (is_line(i, '1') && is_line(i + 1, '2')) || (!numbered && is_line(i + 1, '1') && is_line(i + 2, '2'));
}

void CatalogueText::decode(std::size_t line1, bool strict, CatalogueRecord& record) const {
    const Line& first = lines_[line1];
    const Line& second = lines_[line1 + 1];
    // Every column of the two lines is one ASCII character; a character
    // outside ASCII would shift the columns after it.
    for (const Line* line : {&first, &second}) {
        const std::size_t at = first_non_ascii(line->text);
        if (at != std::string_view::npos) {
            record.error = "line " + std::to_string(line->number) + ", column " + std::to_string(at + 1) + ": '" +
                           std::string(character_at(line->text, at)) + "' is not an ASCII character";
            return;
        }
    }
    DecodeError error;
    if (!decode_element_lines(first.text, second.text, strict, record.set, error)) {
        error.line = error.line == 1 ? first.number : second.number;
        record.error = describe(error);
    }
}

// Why the lines from `first` on start no set.
std::string CatalogueText::refusal(std::size_t first) const {
    const auto where = [this](std::size_t i) {
        return "line " + std::to_string(lines_[i].number) + ": " + quoted_text(lines_[i].text);
    };
    if (is_line(first, '1'))
        return where(first) + " is line 1 of an element set without its line 2";
    if (is_line(first, '2'))
        return where(first) + " is line 2 of an element set without its line 1";
    if (is_line(first + 1, '1'))
        return where(first + 1) + " is line 1 of an element set without its line 2";
    return where(first) + " is neither line 1 of an element set nor a name line above one";
}

bool CatalogueText::read(std::size_t count, bool strict, std::vector<CatalogueRecord>& out) {
    out.clear();
    const std::size_t n = lines_.size();
    while (next_ < n && out.size() < count) {
        CatalogueRecord& record = out.emplace_back();
        record.number = ++records_;
        record.first_line = lines_[next_].number;
        if (set_starts_at(next_)) {
            const std::size_t line1 = is_line(next_, '1') ? next_ : next_ + 1;
            if (line1 > next_) {
                std::string_view name = lines_[next_].text;
                if (name.size() > 2 && name.starts_with("0 ")) name.remove_prefix(2);
                record.name = name;
                record.has_name = true;
            }
            decode(line1, strict, record);
            next_ = line1 + 2;
            continue;
        }
        record.error = refusal(next_);
        do ++next_;
        while (next_ < n && !set_starts_at(next_));
    }
    return next_ < n;
}

}  // namespace orbivane::sgp4
