// Parameter lists and parameter sets: the files `params` and `par get --file`
// read and `params backup` writes.
//
// A list names parameters (index, sub-index, type, optional name); a set also
// holds a value for each, or the error that kept the backup from reading it.
// Files are CSV with a header line (ipa,sub,type[,value][,name][,error,
// error_text]) or JSON (.json); README.md describes both. Values are kept as
// the canonical text of their type, so comparing two values is comparing text.
#pragma once

#include "kelvo/automation.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvo::tool {

struct ParamEntry {
    LONG ipa = 0;
    LONG sub = 0;
    VARTYPE type = VT_EMPTY; // VT_EMPTY: "auto", the type follows the value length
    std::string name;
    std::optional<std::string> value; // canonical text (see CanonicalValue)
    // Why a backup has no value for it: the error code and its text.
    std::optional<int> error;
    std::string errorText;
    int line = 0; // where it stood in its file (0: not from a file)
};

// What a set file says about where its values came from, in file order:
// "device", "ping", "time", "connection" as a backup writes them.
using SetHeader = std::vector<std::pair<std::string, std::string>>;

struct ParamFile {
    SetHeader header;
    std::vector<ParamEntry> entries;
    bool hasValues = false;          // a set: a value column or member
    std::vector<std::string> errors; // "FILE:LINE: why", one per bad line
};

// Reads a list or set: JSON when the name ends in .json; otherwise CSV with a
// header line, or, without one, the plain lines "IPA SUB [TYPE]" (# comments).
// Bad lines are collected in `errors` and left out; a file that cannot be
// read at all gives one error and no entries.
ParamFile ReadParamFile(const std::string& path);

// A parameter given on the command line as IPA SUB [TYPE] (TYPE empty: auto).
bool ParamFromWords(std::string_view ipa, std::string_view sub, std::string_view type,
                    ParamEntry& entry, std::string& error);

// Parameter type names: i1 u1 i2 u2 i4 u4 r4 r8 i8 u8 str auto, or the type
// code in decimal. Also accepted: ui1 ui2 ui4 ui8 (the invoke prefixes).
bool ParamTypeFromText(std::string_view text, VARTYPE& type);
// The name of a parameter type code ("i4"), or its number for other codes.
std::string ParamTypeName(VARTYPE type);

// The canonical text of a value given as text for `type`: integers in
// decimal (given in decimal or 0x-hex, within the type's range), reals in
// the shortest text that reads back to the same float or double ("nan",
// "inf", "-inf" for the non-finite), strings as they are (UTF-8).
bool CanonicalValue(std::string_view text, VARTYPE type, std::string& canonical,
                    std::string& error);
// The canonical text of a value read from the device (its VARIANT type).
std::string ValueText(const VARIANT& value);
// The VARIANT of type `type` for put Par from a canonical (or any valid) text.
bool ValueVariant(const std::string& text, VARTYPE type, VARIANT* out, std::string& error);

// A canonical value for JSON: a number for the number types (when finite),
// else the text.
nlohmann::ordered_json ValueJson(const std::string& text, VARTYPE type);

// A CSV field: quoted ("" for a quote) when it holds a separator, a quote,
// a line end, or blanks at either end.
std::string CsvField(std::string_view text);

// "0x1004/0".
std::string ParamLabel(const ParamEntry& entry);

// Writes a set one entry at a time, CSV or JSON, so a backup of many devices
// keeps no values in memory. Writes to PATH.part and renames it to PATH on
// Finish, so an interrupted backup never leaves a file that looks complete.
class SetWriter {
public:
    enum class Format { Csv, Json };
    SetWriter() = default;
    ~SetWriter();
    SetWriter(const SetWriter&) = delete;
    SetWriter& operator=(const SetWriter&) = delete;

    // The format a path asks for: JSON when it ends in .json.
    static Format FormatOf(const std::string& path);

    bool Open(const std::string& path, Format format, const SetHeader& header, std::string& error);
    void Add(const ParamEntry& entry);
    // Completes the file; false with the reason when writing failed.
    bool Finish(std::string& error);
    // Drops the partial file.
    void Abandon();

private:
    std::FILE* file_ = nullptr;
    std::string path_;
    Format format_ = Format::Csv;
    bool first_ = true;
    std::string buffer_;
};

// A whole set into a string (tests, small sets).
std::string SetText(const SetHeader& header, const std::vector<ParamEntry>& entries,
                    SetWriter::Format format);

} // namespace kelvo::tool
