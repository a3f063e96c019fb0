// The text encodings of OMM files that are parsed here, without the
// interpreter: JSON (an array of objects, or one object) and CSV (a header
// row naming the keys, then one row per record). Both give each record's
// values as text views into the file, or into the records' own storage
// where the file escapes characters.
#pragma once

#include "omm_records.hpp"

#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace orbivane::sgp4 {

struct ParsedRecords {
    std::vector<RecordValues> values;
    // Per record: empty, or why it is refused before its fields are read
    // ("has 3 values for the header's 17 columns").
    std::vector<std::string> refusals;
    // Unescaped text the views may point into.
    std::deque<std::string> storage;

    void add(const RecordValues& record, std::string refusal = {}) {
        values.push_back(record);
        refusals.push_back(std::move(refusal));
    }
};

// Parses the whole text into `out`. Returns an empty string, or what makes
// the text no OMM in that encoding: "line 3, column 5: ':' expected".
std::string parse_omm_json(std::string_view text, ParsedRecords& out);
std::string parse_omm_csv(std::string_view text, ParsedRecords& out);

}  // namespace orbivane::sgp4
