// The value of a base64 digit, shared by the host's LDIF parser and
// hvtally's strict file reader.
#ifndef HV_COMMON_BASE64_H
#define HV_COMMON_BASE64_H

namespace hv {

// 0..63 for a digit of the base64 alphabet, -1 for any other byte.
inline int Base64Digit(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace hv

#endif  // HV_COMMON_BASE64_H
