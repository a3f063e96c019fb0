// OMM records in CSV: a header row naming the keys, then one row per
// record, as RFC 4180 writes them (fields in double quotes may hold
// commas, line breaks and doubled quotes). Rows end in LF, CR LF or CR;
// blank lines are skipped.
#include "omm_parsers.hpp"

namespace orbivane::sgp4 {

namespace {

constexpr bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view stripped(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

class CsvReader {
public:
    CsvReader(std::string_view text, ParsedRecords& out) : s_(text), out_(out) {}

    // Reads the next row into fields; false at the end of the text or on
    // an error (problem_ set).
    bool row(std::vector<std::string_view>& fields) {
        fields.clear();
        while (i_ < s_.size() && (s_[i_] == '\n' || s_[i_] == '\r')) line_end();  // blank lines
        if (i_ >= s_.size()) return false;
        for (;;) {
            std::string_view field;
            if (!this->field(field)) return false;
            fields.push_back(field);
            if (i_ >= s_.size()) return true;
            if (s_[i_] == ',') {
                ++i_;
                continue;
            }
            line_end();
            return true;
        }
    }

    const std::string& problem() const { return problem_; }

private:
    void line_end() {
        if (s_[i_] == '\r' && i_ + 1 < s_.size() && s_[i_ + 1] == '\n') ++i_;
        ++i_;
        ++line_;
    }

    bool field(std::string_view& out) {
        const std::size_t start = i_;
        if (i_ >= s_.size() || s_[i_] != '"') {
            while (i_ < s_.size() && s_[i_] != ',' && s_[i_] != '\n' && s_[i_] != '\r') ++i_;
            out = s_.substr(start, i_ - start);
            return true;
        }
        const int first_line = line_;
        std::string* text = nullptr;  // made at the first doubled quote
        std::size_t piece = ++i_;
        for (;;) {
            if (i_ >= s_.size()) {
                problem_ = "line " + std::to_string(first_line) + ": a quoted field is not closed";
                return false;
            }
            if (s_[i_] == '\n') ++line_;
            if (s_[i_] != '"') {
                ++i_;
                continue;
            }
            if (i_ + 1 < s_.size() && s_[i_ + 1] == '"') {  // a doubled quote stands for one
                if (!text) text = &out_.storage.emplace_back();
                text->append(s_.substr(piece, i_ + 1 - piece));
                i_ += 2;
                piece = i_;
                continue;
            }
            break;
        }
        if (text) {
            text->append(s_.substr(piece, i_ - piece));
            out = *text;
        } else {
            out = s_.substr(piece, i_ - piece);
        }
        ++i_;
        if (i_ < s_.size() && s_[i_] != ',' && s_[i_] != '\n' && s_[i_] != '\r') {
            problem_ = "line " + std::to_string(line_) + ": a quoted field is followed by '" + s_[i_] +
                       "', not a comma or the end of the row";
            return false;
        }
        return true;
    }

    std::string_view s_;
    std::size_t i_ = 0;
    int line_ = 1;
    ParsedRecords& out_;
    std::string problem_;
};

}  // namespace

std::string parse_omm_csv(std::string_view text, ParsedRecords& out) {
    if (text.starts_with("\xef\xbb\xbf")) text.remove_prefix(3);
    CsvReader reader(text, out);
    std::vector<std::string_view> fields;
    std::vector<int> keys;  // of the header's columns, -1 for keys not read
    if (reader.row(fields))
        for (const std::string_view name : fields) keys.push_back(omm_key_of(stripped(name)));
    while (reader.row(fields)) {
        RecordValues record;
        if (fields.size() != keys.size()) {
            out.add(record, "has " + std::to_string(fields.size()) + " values for the header's " +
                                std::to_string(keys.size()) + " columns");
            continue;
        }
        for (std::size_t j = 0; j < keys.size(); ++j) {
            if (keys[j] < 0) continue;
            const std::string_view value = stripped(fields[j]);
            record[static_cast<std::size_t>(keys[j])] = {
                value.empty() ? FieldValue::Kind::kAbsent : FieldValue::Kind::kText, value};
        }
        out.add(record);
    }
    return reader.problem().empty() ? std::string() : "not CSV (" + reader.problem() + ")";
}

}  // namespace orbivane::sgp4
