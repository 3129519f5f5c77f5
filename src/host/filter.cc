#include "host/filter.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace hv {
namespace {

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Position of needle in hay at or after from, folding case; npos if absent.
std::size_t FindFold(std::string_view hay, std::string_view needle, std::size_t from) {
    if (needle.empty()) return from;
    for (std::size_t i = from; i + needle.size() <= hay.size(); ++i)
        if (EqualFold(hay.substr(i, needle.size()), needle)) return i;
    return std::string_view::npos;
}

bool ParseDecimal(std::string_view s, long long *out) {
    if (s.empty() || s.size() > 19) return false;
    std::size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i == s.size()) return false;
    for (std::size_t j = i; j < s.size(); ++j)
        if (s[j] < '0' || s[j] > '9') return false;
    std::string copy(s);
    errno = 0;
    *out = std::strtoll(copy.c_str(), nullptr, 10);
    return errno == 0;
}

// <0, 0, >0 like strcmp: as integers when both are decimal, else folded bytes.
int CompareOrdering(std::string_view a, std::string_view b) {
    long long x = 0, y = 0;
    if (ParseDecimal(a, &x) && ParseDecimal(b, &y)) return x < y ? -1 : (x > y ? 1 : 0);
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char ca = static_cast<unsigned char>(Fold(a[i]));
        unsigned char cb = static_cast<unsigned char>(Fold(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsTypeChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == ';' || c == '.' ||
           c == '_';
}

}  // namespace

bool EqualFold(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

// Recursive descent over the text; every failure returns none.
class FilterParser {
  public:
    explicit FilterParser(std::string_view text) : s_(text) {}

    std::unique_ptr<Filter> ParseWhole() {
        std::unique_ptr<Filter> f = ParseFilter();
        if (f == nullptr || pos_ != s_.size()) return nullptr;
        return f;
    }

  private:
    std::string_view s_;
    std::size_t pos_ = 0;
    int depth_ = 0;

    bool At(char c) const { return pos_ < s_.size() && s_[pos_] == c; }

    std::unique_ptr<Filter> ParseFilter() {
        // Deeply nested input must not exhaust the stack.
        if (depth_ > 256 || !At('(')) return nullptr;
        ++depth_;
        ++pos_;
        std::unique_ptr<Filter> f = ParseComponent();
        --depth_;
        if (f == nullptr || !At(')')) return nullptr;
        ++pos_;
        return f;
    }

    std::unique_ptr<Filter> ParseComponent() {
        auto f = std::make_unique<Filter>();
        if (At('&') || At('|')) {
            f->kind_ = At('&') ? Filter::Kind::kAnd : Filter::Kind::kOr;
            ++pos_;
            while (At('(')) {
                std::unique_ptr<Filter> child = ParseFilter();
                if (child == nullptr) return nullptr;
                f->children_.push_back(std::move(child));
            }
            return f;
        }
        if (At('!')) {
            f->kind_ = Filter::Kind::kNot;
            ++pos_;
            std::unique_ptr<Filter> child = ParseFilter();
            if (child == nullptr) return nullptr;
            f->children_.push_back(std::move(child));
            return f;
        }
        return ParseItem(std::move(f));
    }

    std::unique_ptr<Filter> ParseItem(std::unique_ptr<Filter> f) {
        std::size_t start = pos_;
        while (pos_ < s_.size() && IsTypeChar(s_[pos_])) ++pos_;
        if (pos_ == start) return nullptr;
        f->type_ = std::string(s_.substr(start, pos_ - start));
        if (pos_ + 1 < s_.size() && s_[pos_ + 1] == '=' &&
            (s_[pos_] == '>' || s_[pos_] == '<' || s_[pos_] == '~')) {
            char op = s_[pos_];
            pos_ += 2;
            f->kind_ = op == '>'   ? Filter::Kind::kGreaterEq
                       : op == '<' ? Filter::Kind::kLessEq
                                   : Filter::Kind::kEqual;
            std::vector<std::string> parts;
            if (!ParseValue(&parts) || parts.size() != 1) return nullptr;
            f->value_ = std::move(parts[0]);
            return f;
        }
        if (!At('=')) return nullptr;
        ++pos_;
        std::vector<std::string> parts;
        if (!ParseValue(&parts)) return nullptr;
        if (parts.size() == 1) {
            f->kind_ = Filter::Kind::kEqual;
            f->value_ = std::move(parts[0]);
        } else if (parts.size() == 2 && parts[0].empty() && parts[1].empty()) {
            f->kind_ = Filter::Kind::kPresent;
        } else {
            f->kind_ = Filter::Kind::kSubstrings;
            f->initial_ = std::move(parts.front());
            f->final_ = std::move(parts.back());
            for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
                if (parts[i].empty()) continue;  // "**" adds nothing
                f->any_.push_back(std::move(parts[i]));
            }
        }
        return f;
    }

    // The value up to the closing parenthesis, cut at each unescaped '*'.
    bool ParseValue(std::vector<std::string> *parts) {
        parts->emplace_back();
        while (pos_ < s_.size() && s_[pos_] != ')') {
            char c = s_[pos_];
            if (c == '(') return false;
            if (c == '*') {
                parts->emplace_back();
                ++pos_;
            } else if (c == '\\') {
                int hi = pos_ + 1 < s_.size() ? HexDigit(s_[pos_ + 1]) : -1;
                int lo = pos_ + 2 < s_.size() ? HexDigit(s_[pos_ + 2]) : -1;
                if (hi < 0 || lo < 0) return false;
                parts->back().push_back(static_cast<char>(hi * 16 + lo));
                pos_ += 3;
            } else {
                parts->back().push_back(c);
                ++pos_;
            }
        }
        return true;
    }
};

std::unique_ptr<Filter> Filter::Parse(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    if (text.empty()) return nullptr;
    if (text.front() == '(') return FilterParser(text).ParseWhole();
    std::string wrapped;
    wrapped.reserve(text.size() + 2);
    wrapped.push_back('(');
    wrapped.append(text);
    wrapped.push_back(')');
    return FilterParser(wrapped).ParseWhole();
}

bool Filter::MatchesValue(std::string_view v) const {
    switch (kind_) {
        case Kind::kEqual:
            return EqualFold(v, value_);
        case Kind::kGreaterEq:
            return CompareOrdering(v, value_) >= 0;
        case Kind::kLessEq:
            return CompareOrdering(v, value_) <= 0;
        case Kind::kSubstrings: {
            if (v.size() < initial_.size() + final_.size()) return false;
            if (!EqualFold(v.substr(0, initial_.size()), initial_)) return false;
            if (!EqualFold(v.substr(v.size() - final_.size()), final_)) return false;
            std::string_view middle = v.substr(initial_.size(), v.size() - initial_.size() - final_.size());
            std::size_t at = 0;
            for (const std::string &piece : any_) {
                at = FindFold(middle, piece, at);
                if (at == std::string_view::npos) return false;
                at += piece.size();
            }
            return true;
        }
        default:
            return false;
    }
}

bool Filter::Matches(const Slapi_Entry &e) const {
    switch (kind_) {
        case Kind::kAnd:
            for (const auto &c : children_)
                if (!c->Matches(e)) return false;
            return true;
        case Kind::kOr:
            for (const auto &c : children_)
                if (c->Matches(e)) return true;
            return false;
        case Kind::kNot:
            return !children_[0]->Matches(e);
        default:
            break;
    }
    for (const auto &attr : e.attrs) {
        if (!TypeEquals(attr->type, type_)) continue;
        if (kind_ == Kind::kPresent) {
            if (!attr->values.empty()) return true;
            continue;
        }
        for (const auto &v : attr->values)
            if (MatchesValue(v->data)) return true;
    }
    return false;
}

void Filter::Types(std::vector<std::string_view> *out) const {
    for (const auto &c : children_) c->Types(out);
    if (kind_ != Kind::kAnd && kind_ != Kind::kOr && kind_ != Kind::kNot) out->push_back(type_);
}

}  // namespace hv
