// SPDX-License-Identifier: Apache-2.0
// The INI reader: any file parses; an untouched document writes back the very bytes it was read
// from; a value written into it reads back as written, and every other value stays as it was.
#include "FuzzCheck.h"

#include "platform/IniDocument.h"
#include "platform/TextEncoding.h"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using kx::fuzz::check;
using kx::platform::IniDocument;

namespace {

// The names that may be entry names: the text before "=" of every line, at most 64 of them.
std::vector<std::string> candidateKeys(const kx::platform::TextFile& file)
{
    std::vector<std::string> keys;
    for (const auto& line : file.lines()) {
        const auto equals = line.text.find('=');
        if (equals != std::string::npos && equals > 0) {
            keys.push_back(line.text.substr(0, equals));
            if (keys.size() == 64) {
                break;
            }
        }
    }
    return keys;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > IniDocument::kMaxFileSize) {
        return 0;
    }
    const std::string_view bytes = kx::fuzz::bytesOf(data, size);
    IniDocument document;
    document.parse(bytes);
    check(document.serialize() == bytes, "an untouched document writes back the bytes it was read from");

    const std::vector<std::string> sections = document.sectionNames();
    for (const std::string& section : sections) {
        check(document.hasSection(section), "every listed section is found");
    }
    const std::vector<std::string> keys = candidateKeys(kx::platform::TextFile::read(bytes));
    std::vector<std::pair<std::string, std::string>> slots; // section, key
    for (const std::string& section : sections) {
        for (const std::string& key : keys) {
            slots.emplace_back(section, key);
        }
    }
    std::vector<std::optional<std::string>> before;
    for (const auto& [section, key] : slots) {
        before.push_back(document.value(section, key));
    }

    // A value with what needs care: blanks at its ends, quotation marks, a comment sign.
    static const std::array<std::string, 5> kValues = {"plain", " padded ", "\"quoted\"", "; not a comment", "'half"};
    const std::string& written = kValues[size % kValues.size()];
    // Into the last section, or a section of its own when that name cannot be written (an empty
    // or blank name).
    std::string section = sections.empty() ? std::string("Written") : sections.back();
    const std::string key = "KxFuzzKey";
    if (!document.setValue(section, key, written)) {
        section = "Written";
        check(document.setValue(section, key, written), "a plain key takes a value");
    }

    IniDocument reread;
    reread.parse(document.serialize());
    check(reread.value(section, key) == written, "a written value reads back as written");
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const auto after = reread.value(slots[i].first, slots[i].second);
        // A slot that now reads the written value is the written key under another spelling.
        if (after != before[i] && after != written) {
            std::fprintf(stderr, "[%s] %s: \"%s\" became \"%s\" after writing [%s] %s\n", slots[i].first.c_str(),
                         slots[i].second.c_str(), before[i].value_or("(none)").c_str(),
                         after.value_or("(none)").c_str(), section.c_str(), key.c_str());
            check(false, "writing one value leaves every other value as it was");
        }
    }
    return 0;
}
