#include "tools/tally_ldif.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/base64.h"

namespace hv::tally {

namespace {

constexpr std::size_t kReadBytes = std::size_t{1} << 20;
constexpr std::size_t kMaxTypeBytes = 1024;

bool TypeChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == ';' || c == '.' || c == '_';
}

// base64 fed a byte at a time: checked always, decoded when out is given.
class Base64 {
  public:
    explicit Base64(std::string *out) : out_(out) {}
    // "" or what is wrong with the byte.
    const char *Feed(unsigned char c) {
        if (blank_) return c == ' ' ? nullptr : "a blank inside a base64 value";
        if (c == ' ') {
            blank_ = true;  // blanks may end the line
            return nullptr;
        }
        if (c == '=') return ++pad_ > 2 ? "more than two '=' in a base64 value" : nullptr;
        int d = hv::Base64Digit(c);
        if (d < 0) return "a byte that is not base64";
        if (pad_ > 0) return "base64 after '='";
        ++digits_;
        acc_ = (acc_ << 6) | static_cast<unsigned>(d);
        bits_ += 6;
        if (bits_ >= 8) {
            bits_ -= 8;
            if (out_ != nullptr) out_->push_back(static_cast<char>((acc_ >> bits_) & 0xFF));
        }
        return nullptr;
    }
    // Whole groups of four, the padding included.
    bool Complete() const { return (digits_ + pad_) % 4 == 0; }
    std::size_t length() const { return digits_ + pad_; }

  private:
    std::string *out_;
    std::size_t digits_ = 0, pad_ = 0;
    unsigned acc_ = 0;
    int bits_ = 0;
    bool blank_ = false;
};

}  // namespace

namespace {

// Length of the line's content: its line end ("\n", "\r\n", or a final
// "\r" at the end of the file) left out.
std::size_t ContentEnd(std::string_view text, std::size_t begin, std::size_t end) {
    if (end > begin && text[end - 1] == '\n') --end;
    if (end > begin && text[end - 1] == '\r') --end;
    return end;
}

bool IsBlank(std::string_view line) { return line == "\n" || line == "\r\n" || line == "\r" || line.empty(); }

}  // namespace

bool SameType(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool DecodeBase64Strict(std::string_view in, std::string *out) {
    out->clear();
    Base64 b(out);
    for (unsigned char c : in) {
        if (b.Feed(c) != nullptr) return false;
    }
    return b.Complete();
}

LdifReader::LdifReader(int fd, std::string name, std::vector<std::string> keep)
    : fd_(fd), name_(std::move(name)), keep_(std::move(keep)) {
    for (const char *t : {"dn", "version", "changetype", "control"}) keep_.emplace_back(t);
}

std::string LdifReader::Where(long line) const { return name_ + ":" + std::to_string(line) + ": "; }

bool LdifReader::Kept(std::string_view type) const {
    for (const std::string &k : keep_) {
        if (SameType(type, k)) return true;
    }
    return false;
}

bool LdifReader::Fill(std::string *error) {
    if (pos_ > 0) {
        buf_.erase(0, pos_);
        pos_ = 0;
    }
    const std::size_t old = buf_.size();
    buf_.resize(old + kReadBytes);
    ssize_t n;
    do {
        n = ::pread(fd_, buf_.data() + old, kReadBytes, offset_);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        *error = name_ + ": cannot be read: " + std::strerror(errno);
        buf_.resize(old);
        return false;
    }
    buf_.resize(old + static_cast<std::size_t>(n));
    offset_ += n;
    if (n == 0) eof_ = true;
    return true;
}

// Moves the next physical line, its line end included, to *text; *eof when
// there is none.
bool LdifReader::ReadLine(std::string *text, bool *eof, std::string *error) {
    std::size_t scanned = pos_;
    for (;;) {
        const std::size_t nl = buf_.find('\n', scanned);
        if (nl != std::string::npos || eof_) {
            const std::size_t end = nl == std::string::npos ? buf_.size() : nl + 1;
            *eof = end == pos_;
            text->assign(buf_, pos_, end - pos_);
            pos_ = end;
            if (!*eof) ++line_;
            return true;
        }
        if (buf_.size() - pos_ > kMaxBlockBytes) {
            *error = Where(line_) + "a line longer than " + std::to_string(kMaxBlockBytes >> 20) +
                     " MiB; hvtally takes no longer entries";
            return false;
        }
        scanned = buf_.size() - pos_;
        if (!Fill(error)) return false;
        scanned += pos_;  // Fill moved the unread bytes to the front
    }
}

bool LdifReader::Next(LdifBlock *block, std::string *error) {
    error->clear();
    *block = LdifBlock();
    std::string line;
    bool eof = false;
    bool body = true;
    block->line = havePending_ ? line_ - 1 : line_;
    if (havePending_) {
        block->text = std::move(pending_);
        havePending_ = false;
    }
    for (;;) {
        if (!ReadLine(&line, &eof, error)) return false;
        if (eof) break;
        if (IsBlank(line)) {
            if (body) block->body = block->text.size();
            body = false;
        } else if (!body) {
            pending_ = std::move(line);
            havePending_ = true;
            break;
        }
        if (block->text.size() + line.size() > kMaxBlockBytes) {
            *error = Where(block->line) + "an entry larger than " + std::to_string(kMaxBlockBytes >> 20) +
                     " MiB; hvtally takes no larger entries";
            return false;
        }
        block->text += line;
    }
    if (body) block->body = block->text.size();
    if (block->text.empty()) return false;
    return Parse(block, error);
}

// Splits the block's lines into logical lines and reads each.
bool LdifReader::Parse(LdifBlock *block, std::string *error) {
    const std::string &text = block->text;
    std::vector<std::size_t> starts;  // physical lines of the logical line being gathered
    long startLine = 0;
    bool comment = false;
    bool version = false;
    bool afterDn = false;  // the line just before was the dn (changetype may follow)
    long line = block->line;

    auto take = [&](std::size_t end) -> bool {
        if (starts.empty()) return true;
        LdifAttr attr;
        starts.push_back(end);
        const bool ok = ParseAttr(*block, starts, startLine, &attr, error);
        starts.clear();
        if (!ok) return false;
        if (!block->record) {
            if (first_ && !version && SameType(attr.type, "version")) {
                if (attr.value != "1") {
                    *error = Where(attr.line) + "version \"" + EscapeControl(attr.value) + "\" (only 1 is known)";
                    return false;
                }
                version = true;
                return true;
            }
            if (!SameType(attr.type, "dn")) {
                *error = Where(attr.line) + "an entry must begin with \"dn:\", not \"" + attr.type + ":\"";
                return false;
            }
            block->record = true;
            block->dn = std::move(attr.value);
            block->dnLine = attr.line;
            afterDn = true;
            return true;
        }
        const bool wasAfterDn = afterDn;
        afterDn = false;
        if (SameType(attr.type, "dn")) {
            *error = Where(attr.line) + "a second \"dn:\" in the entry of line " + std::to_string(block->dnLine) +
                     " (entries are separated by a blank line)";
            return false;
        }
        if (SameType(attr.type, "changetype") || SameType(attr.type, "control")) {
            if (wasAfterDn && SameType(attr.type, "changetype") && SameType(attr.value, "add")) return true;
            *error = Where(attr.line) + "\"" + attr.type + ": " + EscapeControl(attr.value) +
                     "\": a change record; -f reads entries (content records) only";
            return false;
        }
        block->attrs.push_back(std::move(attr));
        return true;
    };

    std::size_t p = 0;
    while (p < block->body) {
        std::size_t nl = text.find('\n', p);
        std::size_t end = nl == std::string::npos || nl >= block->body ? block->body : nl + 1;
        const char c = text[p];
        if (c == '#') {
            if (!take(p)) return false;
            comment = true;
        } else if (c == ' ') {
            if (!comment) {
                if (starts.empty()) {
                    *error = Where(line) + "a continued line (beginning with a blank) with no line before it";
                    return false;
                }
                starts.push_back(p);
            }
        } else {
            if (!take(p)) return false;
            comment = false;
            starts.push_back(p);
            startLine = line;
        }
        p = end;
        ++line;
    }
    if (!take(block->body)) return false;
    if (version || block->record) first_ = false;
    return true;
}

// starts: the start of each physical line of the logical line, then its end.
bool LdifReader::ParseAttr(const LdifBlock &block, const std::vector<std::size_t> &starts, long line,
                           LdifAttr *attr, std::string *error) const {
    const std::string &text = block.text;
    attr->line = line;
    attr->begin = starts.front();
    attr->end = starts.back();
    // The bytes of the logical line, continuation blanks left out.
    std::size_t piece = 0;
    std::size_t at = starts[0];
    std::size_t stop = ContentEnd(text, starts[0], starts[1]);
    long where = line;
    auto next = [&](unsigned char *c) -> bool {
        while (at >= stop) {
            if (++piece + 1 >= starts.size()) return false;
            at = starts[piece] + 1;  // the continuation's blank
            stop = ContentEnd(text, starts[piece], starts[piece + 1]);
            ++where;
        }
        *c = static_cast<unsigned char>(text[at++]);
        return true;
    };

    unsigned char c = 0;
    bool more;
    while ((more = next(&c)) && c != ':') {
        if (attr->type.size() >= kMaxTypeBytes) break;
        attr->type.push_back(static_cast<char>(c));
    }
    bool valid = !attr->type.empty() && attr->type.size() < kMaxTypeBytes;
    for (unsigned char t : attr->type) valid = valid && TypeChar(t);
    if (!more || c != ':' || !valid) {
        *error = Where(line) + (more && c == ':' ? "\"" + EscapeControl(attr->type) + "\" is not an attribute type"
                                                : std::string("not an attribute line (no ':' after a type)"));
        return false;
    }
    attr->kept = Kept(attr->type);
    std::string *out = attr->kept ? &attr->value : nullptr;
    more = next(&c);
    const bool b64 = more && c == ':';
    if (more && c == '<') {
        *error = Where(line) + "\"" + attr->type + ":<\": values are not fetched from URLs";
        return false;
    }
    if (b64) more = next(&c);
    while (more && c == ' ') more = next(&c);
    if (!b64) {
        if (out != nullptr) {
            while (more) {
                out->push_back(static_cast<char>(c));
                more = next(&c);
            }
        }
        return true;
    }
    Base64 decoder(out);
    for (; more; more = next(&c)) {
        if (const char *fault = decoder.Feed(c)) {
            *error = Where(where) + "\"" + attr->type + "::\": " + fault;
            return false;
        }
    }
    if (!decoder.Complete()) {
        *error = Where(line) + "\"" + attr->type + "::\": base64 of " + std::to_string(decoder.length()) +
                 " characters, not whole groups of four";
        return false;
    }
    return true;
}

}  // namespace hv::tally
