// Catalogue files of two-line element sets: a whole text split into its
// element sets, each with the name line above it when there is one, and
// decoded. Pure C++, so that callers may run it without the interpreter.
//
// Lines end in LF, CR LF or CR; trailing white space and blank lines are
// ignored, and so is a UTF-8 byte order mark. A set is two lines starting
// "1 " and "2 " (the format's blank in column 2), optionally preceded by a
// name line: a line that starts otherwise, in the plain form "ISS (ZARYA)"
// or the form "0 ISS (ZARYA)". Lines that fit no set are refused together, up to the
// next line where a set can start, as one record.
#pragma once

#include "element_set.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orbivane::sgp4 {

// One record of a catalogue text: an element set, decoded, or a stretch of
// lines refused with a message.
struct CatalogueRecord {
    ElementSet set;
    std::string_view name;  // the name line without "0 "; empty when there is none
    bool has_name = false;
    int number = 0;      // 1-based count of the records of the text
    int first_line = 0;  // 1-based line number of the record's first line
    std::string error;   // "line 7, columns 27-33 (eccentricity): ..."; empty when decoded
};

class CatalogueText {
public:
    explicit CatalogueText(std::string_view text);

    // Decodes the next records, at most `count` of them, into `out` (which
    // is cleared first). Returns false once the text is exhausted.
    bool read(std::size_t count, bool strict, std::vector<CatalogueRecord>& out);

private:
    struct Line {
        std::string_view text;  // without its terminator and trailing white space
        int number;
    };

    bool is_line(std::size_t i, char digit) const;
    bool set_starts_at(std::size_t i) const;
    void decode(std::size_t line1, bool strict, CatalogueRecord& record) const;
    std::string refusal(std::size_t first) const;

    std::vector<Line> lines_;  // non-blank lines only
    std::size_t next_ = 0;
    int records_ = 0;
};

}  // namespace orbivane::sgp4
