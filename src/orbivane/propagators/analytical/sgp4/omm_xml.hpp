// OMM records in XML (NDM/XML: omm elements, alone or as the children of
// an ndm root, in the schema's namespace or in none), read by the
// interpreter's expat parser, driven here through its C entry points.
#pragma once

#include "omm_parsers.hpp"
#include "pyexpat_capi.hpp"

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

namespace orbivane::sgp4 {

// The values of a record are the text of the leaf elements (those without
// child elements) of its omm element whose names, namespace aside, are OMM
// keys; where a key repeats, the last leaf counts.
//
// A document with a document type declaration is refused before any of it
// past that declaration is parsed: OMM files have no use for one, and its
// entities could expand without bound. Until the root element opens, the
// document is fed to the parser in small pieces to make that so.
class OmmXmlReader {
public:
    // `document` stays alive and unchanged while the reader lives; `utf8`:
    // it is UTF-8 whatever its XML declaration says (text decoded already).
    OmmXmlReader(const expat::CApi& expat, std::string_view document, bool utf8, ParsedRecords& out);
    ~OmmXmlReader();
    OmmXmlReader(const OmmXmlReader&) = delete;
    OmmXmlReader& operator=(const OmmXmlReader&) = delete;

    // Parses the next piece of the document, at most a megabyte. Needs no
    // interpreter, except to decode a declared encoding that expat has no
    // decoder of (it then takes the interpreter's lock). false once the
    // document is read whole or refused.
    bool read_piece();

    // Empty, or why the document is refused whole: "not XML (mismatched
    // tag: line 1, column 12)".
    const std::string& problem() const { return problem_; }

private:
    // expat's handlers call these on the reader; an exception (no memory)
    // is kept, the events after it ignored, and it is thrown once expat
    // returns, never through expat's frames.
    template <auto Event, class... Args>
    static void handler(void* reader, Args... args) {
        OmmXmlReader& self = *static_cast<OmmXmlReader*>(reader);
        if (self.failure_) return;
        try {
            (self.*Event)(args...);
        } catch (...) {
            self.failure_ = std::current_exception();
        }
    }
    void start_element(const expat::Char* name, const expat::Char** attributes);
    void end_element(const expat::Char* name);
    void character_data(const expat::Char* text, int length);
    void start_doctype(const expat::Char* name, const expat::Char* system_id, const expat::Char* public_id,
                       int has_internal_subset);
    static int unknown_encoding(void* reader, const expat::Char* name, void* encoding_info);

    void finish();
    void make_room(std::size_t length);

    const expat::CApi& expat_;
    expat::Parser parser_;
    std::string_view document_;
    std::size_t parsed_ = 0;  // bytes of the document given to the parser
    ParsedRecords& out_;

    enum class Root : unsigned char { kNone, kOmm, kNdm, kOther };
    Root root_ = Root::kNone;
    std::string root_name_;         // when it is neither omm nor ndm
    std::string doctype_;           // the name a document type declaration gives
    int depth_ = 0;                 // of the element open last; the root is at 1
    int record_depth_ = 0;          // of the omm element being read, 0 outside one
    int leaf_key_ = -1;             // OmmKey of the open element while it may be a leaf
    std::size_t leaf_begin_ = 0;    // where its text starts in *block_
    RecordValues record_{};         // of the omm element being read
    std::string refusal_;           // of that record, when refused before its fields are read
    std::string* block_ = nullptr;  // of out_.storage, where leaf text is copied: its capacity is kept
    bool finished_ = false;
    std::exception_ptr failure_;
    std::string problem_;
};

}  // namespace orbivane::sgp4
