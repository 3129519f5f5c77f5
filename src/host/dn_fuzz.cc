// Fuzzes DN normalization.  For every text that parses as a DN:
//   - the normalized form parses to the same AVAs (values case-folded), so
//     two different DNs never meet in one normalized form;
//   - normalizing the normalized form changes nothing, folded or not;
//   - the parent of the normalized form is the normalized parent.
// Texts that do not parse must be refused without a fault, and the in-place
// calls never make a text longer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/dn.h"
#include "host/entry_internal.h"

namespace {

void Require(bool ok) {
    if (!ok) std::abort();
}

std::string Parent(const std::string &dn) {
    char *p = slapi_dn_parent(dn.c_str());
    if (p == nullptr) return "<none>";
    std::string s = p;
    slapi_ch_free_string(&p);
    return s;
}

bool SameAvas(const std::vector<hv::DnAva> &a, const std::vector<hv::DnAva> &b, bool fold) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::string want = fold && !a[i].binary ? hv::AsciiLower(a[i].value) : a[i].value;
        if (a[i].rdn != b[i].rdn || a[i].type != b[i].type || a[i].binary != b[i].binary || want != b[i].value)
            return false;
    }
    return true;
}

void CheckInPlace(const std::string &text, char *(*normalize)(char *)) {
    std::string buf = text;
    buf.push_back('\0');
    normalize(buf.data());
    Require(std::strlen(buf.c_str()) <= std::strlen(text.c_str()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    CheckInPlace(text, slapi_dn_normalize);
    CheckInPlace(text, slapi_dn_normalize_case);
    std::vector<hv::DnAva> avas;
    if (!hv::ParseDn(text, &avas)) return 0;
    for (bool fold : {false, true}) {
        std::string once, twice;
        Require(hv::NormalizeDn(text, fold, &once));
        std::vector<hv::DnAva> again;
        Require(hv::ParseDn(once, &again));
        Require(SameAvas(avas, again, fold));
        Require(hv::NormalizeDn(once, fold, &twice));
        Require(twice == once);
    }
    std::string ndn;
    hv::NormalizeDn(text, &ndn);
    const std::string parent = Parent(text);
    if (parent == "<none>") {
        Require(Parent(ndn) == "<none>");
    } else {
        std::string nparent;
        Require(hv::NormalizeDn(parent, &nparent));
        Require(Parent(ndn) == nparent);
    }
    return 0;
}
