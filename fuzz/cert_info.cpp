// SPDX-License-Identifier: Apache-2.0
// The certificate description of the token library: for any bytes, the names and serial stay
// inside their buffers and end there, the dates of a decoded certificate are dates of the
// calendar, and the kind and version are ones the callers know.
#include "FuzzCheck.h"

#include "CertDecode.h"
#include "drevmor.h"

#include <algorithm>
#include <array>
#include <cstring>

using kx::fuzz::check;

namespace {

// Buffers of the callers' sizes with a guard behind each, so a write past the end is seen even
// without the address sanitizer.
template <typename T, std::size_t N>
struct Guarded
{
    static constexpr std::size_t kGuard = 16;
    std::array<T, N + kGuard> cells;
    Guarded() { cells.fill(static_cast<T>(0x5A)); }
    T* data() { return cells.data(); }
    bool guardIntact() const
    {
        return std::all_of(cells.begin() + N, cells.end(), [](T c) { return c == static_cast<T>(0x5A); });
    }
    bool terminated() const { return std::find(cells.begin(), cells.begin() + N, T{0}) != cells.begin() + N; }
};

bool leapYear(int y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

bool validDate(const int* f)
{
    if (std::all_of(f, f + DRV_DATE_FIELDS, [](int v) { return v == 0; })) {
        return true; // a time OpenSSL could not read: all fields zero
    }
    static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int year = f[0], month = f[1], day = f[2];
    if (year < 0 || year > 9999 || month < 1 || month > 12 || day < 1) {
        return false;
    }
    const int days = kDays[static_cast<std::size_t>(month - 1)] + (month == 2 && leapYear(year) ? 1 : 0);
    return day <= days && f[3] >= 0 && f[3] < 24 && f[4] >= 0 && f[4] < 60 && f[5] >= 0 && f[5] <= 60 && f[6] == 0 &&
           f[7] == 0 && f[8] == 0;
}

bool wellFormedUtf16(const std::uint16_t* s)
{
    for (; *s; ++s) {
        if (*s >= 0xD800 && *s <= 0xDBFF) {
            if (s[1] < 0xDC00 || s[1] > 0xDFFF) {
                return false;
            }
            ++s;
        } else if (*s >= 0xDC00 && *s <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The library reads a certificate of at most kMaxCertificateSize bytes.
    if (size == 0 || size > drevmor::kMaxCertificateSize) {
        return 0;
    }
    Guarded<std::uint16_t, DRV_NAME_SIZE> subject;
    Guarded<std::uint16_t, DRV_NAME_SIZE> issuer;
    Guarded<char, DRV_NAME_SIZE> serial;
    Guarded<int, DRV_DATE_FIELDS> notBefore;
    Guarded<int, DRV_DATE_FIELDS> notAfter;
    int version = -1;
    int kind = -1;
    const int rv = drevmor::decodeCertificateInfo(data, static_cast<int>(size), subject.data(), issuer.data(), &version,
                                                  serial.data(), notBefore.data(), notAfter.data(), &kind);
    check(subject.guardIntact() && issuer.guardIntact() && serial.guardIntact() && notBefore.guardIntact() &&
              notAfter.guardIntact(),
          "nothing is written past the callers' buffers");
    if (rv != DRV_OK) {
        check(rv == DRV_FILE_ERROR, "bytes that are no certificate give a file error");
        return 0;
    }
    check(subject.terminated() && issuer.terminated() && serial.terminated(), "names and serial end in their buffers");
    check(wellFormedUtf16(subject.data()) && wellFormedUtf16(issuer.data()), "names are well-formed UTF-16");
    const std::string_view serialText(serial.data());
    check(!serialText.empty() && serialText.find_first_not_of("-0123456789ABCDEF") == std::string_view::npos,
          "the serial is upper-case hexadecimal");
    check(validDate(notBefore.data()) && validDate(notAfter.data()), "the dates are dates of the calendar");
    check(version >= 1 && version <= 3, "the version is 1, 2 or 3");
    check(kind >= 0 && kind <= 2, "the kind is end entity, root or other CA");
    return 0;
}
