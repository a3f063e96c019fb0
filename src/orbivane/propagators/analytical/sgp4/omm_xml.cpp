// OMM records in XML, from expat's events: the element handlers follow
// the omm elements and the leaves in them. The text of a leaf whose name
// is an OMM key is copied into blocks of the records' storage that never
// grow past their capacity, so that the records' views into them stay
// valid as more is read.
#include "omm_xml.hpp"

#include <Python.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace orbivane::sgp4 {

namespace {

// Pieces of the document given to the parser: small ones until the root
// element opens (a document type declaration can only come before it),
// then a megabyte at a time, between which the caller may look at the
// interpreter.
constexpr std::size_t kPrologPiece = 128;
constexpr std::size_t kPiece = std::size_t{1} << 20;
// Leaf text is copied into blocks of this many bytes (or of one longer text).
constexpr std::size_t kBlock = std::size_t{1} << 20;
// The deepest element, below its omm element, that may have children.
constexpr int kDeepestParent = 16;
// Between a namespace and the local name in the names expat reports.
constexpr const char* kNamespaceSeparator = "}";

constexpr bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view stripped(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// "urn:ccsds:schema:ndmxml}omm" and "omm" are both "omm" (one pass over
// the name: this is done for every element).
std::string_view local_name(const expat::Char* name) {
    const char* local = name;
    const char* p = name;
    for (; *p; ++p)
        if (*p == kNamespaceSeparator[0]) local = p + 1;
    return {local, static_cast<std::size_t>(p - local)};
}

}  // namespace

OmmXmlReader::OmmXmlReader(const expat::CApi& expat, std::string_view document, bool utf8, ParsedRecords& out)
    : expat_(expat),
      parser_(expat.ParserCreate_MM(nullptr, nullptr, kNamespaceSeparator)),
      document_(document),
      out_(out) {
    if (!parser_) throw std::bad_alloc();
    expat_.SetUserData(parser_, this);
    using expat::Char;
    expat_.SetElementHandler(parser_, handler<&OmmXmlReader::start_element, const Char*, const Char**>,
                             handler<&OmmXmlReader::end_element, const Char*>);
    expat_.SetCharacterDataHandler(parser_, handler<&OmmXmlReader::character_data, const Char*, int>);
    expat_.SetStartDoctypeDeclHandler(
        parser_, handler<&OmmXmlReader::start_doctype, const Char*, const Char*, const Char*, int>);
    expat_.SetUnknownEncodingHandler(parser_, unknown_encoding, this);
    if (utf8) expat_.SetEncoding(parser_, "utf-8");
}

OmmXmlReader::~OmmXmlReader() { expat_.ParserFree(parser_); }

bool OmmXmlReader::read_piece() {
    if (finished_ || !problem_.empty()) return false;
    const std::size_t stop = std::min(document_.size(), parsed_ + kPiece);
    for (;;) {
        const std::size_t piece = std::min(root_ == Root::kNone ? kPrologPiece : kPiece, stop - parsed_);
        const bool last = parsed_ + piece == document_.size();
        const expat::Status status = expat_.Parse(parser_, document_.data() + parsed_, static_cast<int>(piece), last);
        if (failure_) std::rethrow_exception(failure_);
        if (!doctype_.empty()) {  // whatever follows it in the piece
            problem_ = "not an OMM in XML: it declares a document type (<!DOCTYPE " + doctype_ +
                       ">), which is refused: its entities could expand without bound";
            return false;
        }
        if (status != expat::kStatusOk) {
            const expat::ErrorCode code = expat_.GetErrorCode(parser_);
            const char* error = expat_.ErrorString(code);
            problem_ = "not XML (" + (error ? std::string(error) : "error " + std::to_string(code)) +
                       ": line " + std::to_string(expat_.GetErrorLineNumber(parser_)) + ", column " +
                       std::to_string(expat_.GetErrorColumnNumber(parser_)) + ")";
            return false;
        }
        parsed_ += piece;
        if (last) {
            finish();
            return false;
        }
        if (parsed_ == stop) return true;
    }
}

void OmmXmlReader::finish() {
    finished_ = true;
    if (root_ == Root::kOther)
        problem_ = "not an OMM in XML: the root element is <" + root_name_ + ">, not <ndm> or <omm>";
}

// Room in block_ for `length` more bytes of the open leaf's text: a new
// block, which the text read so far moves to, when the block is full.
void OmmXmlReader::make_room(std::size_t length) {
    if (block_ && block_->size() + length <= block_->capacity()) return;
    const std::size_t kept = block_ ? block_->size() - leaf_begin_ : 0;
    std::string& block = out_.storage.emplace_back();
    block.reserve(std::max(kBlock, kept + length));
    if (block_) {
        block.append(*block_, leaf_begin_, kept);
        block_->resize(leaf_begin_);
    }
    block_ = &block;
    leaf_begin_ = 0;
}

void OmmXmlReader::start_element(const expat::Char* name, const expat::Char** /*attributes*/) {
    const std::string_view local = local_name(name);
    const int depth = ++depth_;
    if (depth == 1) {
        root_ = local == "omm" ? Root::kOmm : local == "ndm" ? Root::kNdm : Root::kOther;
        if (root_ == Root::kOther) root_name_ = local;
    }
    if (record_depth_ == 0) {
        if ((depth == 1 && root_ == Root::kOmm) || (depth == 2 && root_ == Root::kNdm && local == "omm"))
            record_depth_ = depth;
        return;
    }
    if (leaf_key_ >= 0) {  // the open element has a child: it is no leaf, and its text is dropped
        block_->resize(leaf_begin_);
        leaf_key_ = -1;
    }
    if (depth - 1 - record_depth_ > kDeepestParent && refusal_.empty())
        refusal_ = "has elements nested deeper than an OMM's";
    leaf_key_ = omm_key_of(local);
    if (leaf_key_ >= 0) {
        make_room(0);
        leaf_begin_ = block_->size();
    }
}

void OmmXmlReader::end_element(const expat::Char* /*name*/) {
    if (leaf_key_ >= 0) {  // a leaf's value, which a later leaf of the same name replaces
        const std::string_view text = stripped(std::string_view(*block_).substr(leaf_begin_));
        record_[static_cast<std::size_t>(leaf_key_)] =
            text.empty() ? FieldValue{} : FieldValue{FieldValue::Kind::kText, text};
        leaf_key_ = -1;
    }
    if (depth_ == record_depth_) {
        out_.add(record_, std::move(refusal_));
        record_ = {};
        refusal_.clear();
        record_depth_ = 0;
    }
    --depth_;
}

void OmmXmlReader::character_data(const expat::Char* text, int length) {
    if (leaf_key_ < 0) return;
    const auto size = static_cast<std::size_t>(length);
    make_room(size);
    block_->append(text, size);
}

void OmmXmlReader::start_doctype(const expat::Char* name, const expat::Char* /*system_id*/,
                                 const expat::Char* /*public_id*/, int /*has_internal_subset*/) {
    doctype_ = name;
}

int OmmXmlReader::unknown_encoding(void* reader, const expat::Char* name, void* encoding_info) {
    // The interpreter's decoder of single-byte encodings, which needs its
    // lock; on failure expat refuses the document ("unknown encoding").
    const expat::CApi& expat = static_cast<OmmXmlReader*>(reader)->expat_;
    const PyGILState_STATE state = PyGILState_Ensure();
    const int known = expat.DefaultUnknownEncodingHandler(nullptr, name, encoding_info);
    if (!known) PyErr_Clear();
    PyGILState_Release(state);
    return known;
}

}  // namespace orbivane::sgp4
