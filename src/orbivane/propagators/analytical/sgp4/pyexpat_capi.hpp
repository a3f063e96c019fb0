// The expat parser that the standard library's pyexpat module carries, as
// its capsule "pyexpat.expat_CAPI" hands it out: a table of expat's entry
// points. The table's layout is that of CPython 3.11's pyexpat.h (version
// "1.1"; later versions only add entries at its end). The types are
// declared here rather than taken from expat.h, so that building needs no
// expat headers: the parser used is always the interpreter's own.
#pragma once

namespace orbivane::expat {

struct ParserState;  // expat's, never looked into
using Parser = ParserState*;
using Char = char;  // the interpreter's expat works in UTF-8
using Size = unsigned long;
using ErrorCode = int;  // expat's enum XML_Error
enum Status : int { kStatusError = 0, kStatusOk = 1 };

using StartElementHandler = void (*)(void* data, const Char* name, const Char** attributes);
using EndElementHandler = void (*)(void* data, const Char* name);
using CharacterDataHandler = void (*)(void* data, const Char* text, int length);
using StartDoctypeDeclHandler = void (*)(void* data, const Char* name, const Char* system_id, const Char* public_id,
                                         int has_internal_subset);
using UnknownEncodingHandler = int (*)(void* handler_data, const Char* name, void* encoding_info);
using OtherHandler = void (*)();  // of entries not used here

inline constexpr const char* kCapsuleName = "pyexpat.expat_CAPI";
inline constexpr const char* kMagic = "pyexpat.expat_CAPI 1.1";

struct CApi {
    const char* magic;  // kMagic
    int size;           // of the table as the interpreter has it: at least sizeof(CApi)
    int major_version;
    int minor_version;
    int micro_version;
    const char* (*ErrorString)(ErrorCode code);
    ErrorCode (*GetErrorCode)(Parser parser);
    Size (*GetErrorColumnNumber)(Parser parser);
    Size (*GetErrorLineNumber)(Parser parser);
    Status (*Parse)(Parser parser, const char* text, int length, int is_final);
    Parser (*ParserCreate_MM)(const Char* encoding, const void* memory_suite, const Char* namespace_separator);
    void (*ParserFree)(Parser parser);
    void (*SetCharacterDataHandler)(Parser parser, CharacterDataHandler handler);
    void (*SetCommentHandler)(Parser parser, OtherHandler handler);
    void (*SetDefaultHandlerExpand)(Parser parser, OtherHandler handler);
    void (*SetElementHandler)(Parser parser, StartElementHandler start, EndElementHandler end);
    void (*SetNamespaceDeclHandler)(Parser parser, OtherHandler start, OtherHandler end);
    void (*SetProcessingInstructionHandler)(Parser parser, OtherHandler handler);
    void (*SetUnknownEncodingHandler)(Parser parser, UnknownEncodingHandler handler, void* handler_data);
    void (*SetUserData)(Parser parser, void* data);
    void (*SetStartDoctypeDeclHandler)(Parser parser, StartDoctypeDeclHandler start);
    Status (*SetEncoding)(Parser parser, const Char* encoding);
    // Decodes the single-byte encodings Python has codecs for; called with
    // the interpreter's lock held, it may leave a Python exception set.
    int (*DefaultUnknownEncodingHandler)(void* handler_data, const Char* name, void* encoding_info);
    int (*SetHashSalt)(Parser parser, unsigned long salt);
};

}  // namespace orbivane::expat
