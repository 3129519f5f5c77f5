// hvtally's reader of LDIF files: content records read one block at a time
// from an open file, exact about every byte.
//
// A block is a run of non-blank lines and the blank lines after it; its
// text is kept byte for byte (line ends, comments, folding), so that a
// writer can copy it and change only chosen lines.  The reader is as strict
// as a client adding the records to a server: a value holds whatever bytes
// its line holds (a NUL too), base64 must be whole groups of four with '='
// padding at the end only, "type:< URL" values, change records and a second
// "dn:" in one record are refused.  Every refusal names the file and the
// line at fault ("FILE:LINE: ...").
//
// Memory: one block's text, and the values of the attribute types asked
// for; other values are checked as they stream past, never copied.
// Thread-compatible.
#ifndef HV_TOOLS_TALLY_LDIF_H
#define HV_TOOLS_TALLY_LDIF_H

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/string_format.h"

namespace hv::tally {

// The largest block (one entry with its comments) the reader takes.
inline constexpr std::size_t kMaxBlockBytes = std::size_t{256} << 20;

// One logical line of a record: an attribute type and its value.
struct LdifAttr {
    std::string type;           // as spelled
    long line = 0;              // its first line in the file
    std::size_t begin = 0;      // where it starts in the block's text
    std::size_t end = 0;        // just after its last line's line end
    bool kept = false;          // the type was asked for: value holds it
    std::string value;          // decoded bytes (when kept)
};

struct LdifBlock {
    std::string text;           // the block's bytes, blank lines after it included
    std::size_t body = 0;       // where those blank lines begin
    long line = 0;              // the block's first line
    bool record = false;        // false: only comments, a version line or nothing
    std::string dn;             // the record's DN, decoded
    long dnLine = 0;
    std::vector<LdifAttr> attrs;  // every attribute line after dn (changetype: add excluded)
};

class LdifReader {
  public:
    // Reads the file fd (not owned) from offset 0 with pread; name is used
    // in messages; the values of types in keep (compared ignoring ASCII
    // case) are decoded into LdifAttr::value.
    LdifReader(int fd, std::string name, std::vector<std::string> keep);

    // The next block.  false at the end of the file (*error empty) or on a
    // fault (*error says what and where).
    bool Next(LdifBlock *block, std::string *error);

    const std::string &name() const { return name_; }

  private:
    bool ReadLine(std::string *text, bool *eof, std::string *error);
    bool Fill(std::string *error);
    bool Parse(LdifBlock *block, std::string *error);
    bool ParseAttr(const LdifBlock &block, const std::vector<std::size_t> &starts, long line,
                   LdifAttr *attr, std::string *error) const;
    std::string Where(long line) const;
    bool Kept(std::string_view type) const;

    int fd_;
    std::string name_;
    std::vector<std::string> keep_;
    off_t offset_ = 0;       // of the file, where the next read starts
    std::string buf_;        // read but not yet taken
    std::size_t pos_ = 0;    // in buf_
    bool eof_ = false;
    long line_ = 1;          // the line the next taken line has
    bool first_ = true;      // no record seen yet (a version line may come)
    std::string pending_;    // a non-blank line read ahead, starting the next block
    bool havePending_ = false;
};

// Decodes base64 as clients do: whole groups of four, '=' padding only at
// the end; false when the text is not such base64.
bool DecodeBase64Strict(std::string_view in, std::string *out);

// Whether two attribute types are the same (ASCII letter case ignored).
bool SameType(std::string_view a, std::string_view b);

}  // namespace hv::tally

#endif  // HV_TOOLS_TALLY_LDIF_H
