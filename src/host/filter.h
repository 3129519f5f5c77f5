// LDAP search filters in their string form, with or without the outer
// parentheses: equality, ordering (>=, <=), approximate (~=, taken as
// equality), presence, substrings, and "&", "|", "!".  Values may carry
// hex escapes (\2a).  Types and values compare without regard to ASCII case;
// ordering compares as integers when both sides are decimal numbers.
//
// A parsed Filter is immutable and may be matched from many threads at once.
#ifndef HV_HOST_FILTER_H
#define HV_HOST_FILTER_H

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_impl.h"

namespace hv {

// The matching rule for values and attribute descriptions: bytes equal
// without regard to ASCII case.
bool EqualFold(std::string_view a, std::string_view b);

class Filter {
  public:
    enum class Kind { kAnd, kOr, kNot, kEqual, kGreaterEq, kLessEq, kPresent, kSubstrings };

    // Parses text; none when it is not a filter.
    static std::unique_ptr<Filter> Parse(std::string_view text);

    bool Matches(const Slapi_Entry &e) const;
    // Appends the attribute types the filter tests (views into it).
    void Types(std::vector<std::string_view> *out) const;

    Kind kind() const { return kind_; }

  private:
    Kind kind_ = Kind::kPresent;
    std::string type_;
    std::string value_;  // unescaped assertion value
    // Substrings: initial (may be empty), any..., final (may be empty).
    std::string initial_;
    std::vector<std::string> any_;
    std::string final_;
    std::vector<std::unique_ptr<Filter>> children_;

    friend class FilterParser;
    bool MatchesValue(std::string_view v) const;
};

}  // namespace hv

#endif  // HV_HOST_FILTER_H
