// SPDX-License-Identifier: Apache-2.0
#include "Registry.h"

#include "FileUtil.h"
#include "IniDocument.h"

#include <array>
#include <cstdlib>
#include <utility>

namespace kx::platform {

namespace {

constexpr std::array<std::pair<RegistryRoot, std::string_view>, 5> kRootNames = {{
    {RegistryRoot::ClassesRoot, "HKEY_CLASSES_ROOT"},
    {RegistryRoot::CurrentUser, "HKEY_CURRENT_USER"},
    {RegistryRoot::LocalMachine, "HKEY_LOCAL_MACHINE"},
    {RegistryRoot::Users, "HKEY_USERS"},
    {RegistryRoot::CurrentConfig, "HKEY_CURRENT_CONFIG"},
}};

constexpr std::string_view kDefaultValueName = "@";

std::string entryName(std::string_view valueName)
{
    return valueName.empty() ? std::string(kDefaultValueName) : std::string(valueName);
}

} // namespace

std::string_view registryRootName(RegistryRoot root)
{
    for (const auto& [value, name] : kRootNames) {
        if (value == root) {
            return name;
        }
    }
    return "HKEY_CURRENT_USER";
}

RegistryRoot registryRootFromName(std::string_view name)
{
    for (const auto& [value, rootName] : kRootNames) {
        if (rootName == name) {
            return value;
        }
    }
    return RegistryRoot::CurrentUser;
}

Registry::Registry(std::string folder) : m_folder(std::move(folder))
{
    while (m_folder.size() > 1 && m_folder.back() == '/') {
        m_folder.pop_back();
    }
}

std::string Registry::defaultFolder()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && *xdg == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home ? home : "") + "/.config";
    }
    return base + "/kx2700/registry";
}

std::string Registry::rootFilePath(RegistryRoot root) const
{
    return m_folder + "/" + std::string(registryRootName(root)) + ".ini";
}

std::string Registry::sectionFor(RegistryRoot root, std::string_view keyPath)
{
    std::string section(registryRootName(root));
    std::string part;
    auto flush = [&] {
        if (!part.empty()) {
            section += '\\';
            section += part;
            part.clear();
        }
    };
    for (const char c : keyPath) {
        if (c == '\\' || c == '/') {
            flush();
        } else {
            part.push_back(c);
        }
    }
    flush();
    return section;
}

bool Registry::keyExists(RegistryRoot root, std::string_view keyPath) const
{
    IniDocument document;
    if (document.load(rootFilePath(root)) != IniDocument::LoadStatus::Loaded) {
        return false;
    }
    return document.hasSection(sectionFor(root, keyPath));
}

std::optional<std::string> Registry::readString(RegistryRoot root, std::string_view keyPath,
                                                std::string_view valueName) const
{
    IniDocument document;
    if (document.load(rootFilePath(root)) != IniDocument::LoadStatus::Loaded) {
        return std::nullopt;
    }
    return document.value(sectionFor(root, keyPath), entryName(valueName));
}

int Registry::writeString(RegistryRoot root, std::string_view keyPath, std::string_view valueName,
                          std::string_view value)
{
    if (!makePath(m_folder, 0700)) {
        return 1;
    }
    return writeProfileValues(rootFilePath(root), sectionFor(root, keyPath),
                              {{entryName(valueName), std::string(value)}});
}

} // namespace kx::platform
