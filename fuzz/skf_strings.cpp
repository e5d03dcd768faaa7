// SPDX-License-Identifier: Apache-2.0
// The buffers an SKF library fills: a multi-string splits into non-empty names that come from
// the buffer in order, and the finger area gives enrolled fingers consistent with each other.
#include "FuzzCheck.h"

#include "token/SkfBuffers.h"

#include <algorithm>
#include <cstring>

using kx::fuzz::check;

namespace {

void checkNames(QByteArrayView buffer)
{
    const QList<QByteArray> names = kx::splitSkfNames(buffer);
    // The buffer as the names are read from it: spaces kept, question marks read as spaces.
    QByteArray text = buffer.toByteArray();
    text.replace('?', ' ');
    qsizetype from = 0;
    qsizetype total = 0;
    for (const QByteArray& name : names) {
        check(!name.isEmpty() && !name.contains('\0'), "a name is not empty and holds no zero byte");
        const qsizetype at = text.indexOf(name, from);
        check(at >= 0, "the names come from the buffer, in order");
        from = at + name.size();
        total += name.size();
    }
    check(total <= buffer.size(), "the names together are no longer than the buffer");
    // Joined with zero bytes they split into the same names again.
    check(kx::splitSkfNames(names.join('\0')) == names, "joined names split the same way");
}

void checkFingers(const kx::FingerInfo& info)
{
    const QList<int> enrolled = kx::enrolledFingerList(info);
    check(enrolled.size() <= 10, "at most ten fingers are enrolled");
    const bool numbers = kx::fingerBytesAreNumbers(info);
    for (int finger = 1; finger <= 10; ++finger) {
        if (kx::fingerIsEnrolled(info, finger)) {
            check(enrolled.contains(finger), "an enrolled finger is among the fingers to delete");
        }
    }
    check(!kx::fingerIsEnrolled(info, 0) && !kx::fingerIsEnrolled(info, 11), "fingers are 1 to 10");
    if (!numbers) {
        for (const int finger : enrolled) {
            check(finger >= 1 && finger <= 10, "a presence map names fingers 1 to 10");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // SKF name buffers are a few kilobytes.
    if (size > 64 * 1024) {
        return 0;
    }
    checkNames(QByteArrayView(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));

    // The first four bytes are the length the library reports, the rest the finger area.
    kx::FingerInfo info;
    if (size >= 4) {
        std::memcpy(&info.length, data, 4);
        std::memcpy(info.fingers.data(), data + 4, std::min(size - 4, info.fingers.size()));
    }
    checkFingers(info);
    return 0;
}
