// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kx::platform {

// The registry roots the programs address by name.
enum class RegistryRoot
{
    ClassesRoot,
    CurrentUser,
    LocalMachine,
    Users,
    CurrentConfig
};

// "HKEY_CURRENT_USER" and so on.
std::string_view registryRootName(RegistryRoot root);

// The root a name selects: one of the five root names written exactly (case included); every other
// name, the empty one too, selects HKEY_CURRENT_USER.
RegistryRoot registryRootFromName(std::string_view name);

// A registry of string values kept as one INI file per root ("HKEY_CURRENT_USER.ini" ...) in a
// folder of the user's configuration. A key is a section named by its full path from the root
// ("HKEY_CURRENT_USER\Software\Vendor"; the root itself is the section of the bare root name), and
// a value is an entry of that section; the unnamed (default) value of a key is the entry "@".
// Key paths compare without case, take "\" or "/" as separators and ignore repeated or outer ones.
class Registry
{
public:
    explicit Registry(std::string folder);

    // $XDG_CONFIG_HOME/kx2700/registry, with ~/.config when XDG_CONFIG_HOME is not set.
    static std::string defaultFolder();

    const std::string& folder() const { return m_folder; }
    std::string rootFilePath(RegistryRoot root) const;

    bool keyExists(RegistryRoot root, std::string_view keyPath) const;
    std::optional<std::string> readString(RegistryRoot root, std::string_view keyPath,
                                          std::string_view valueName) const;
    // Creates the key when missing and writes the value. Returns 0, or 1 when the key could not be
    // created or written (the file on disk then stays as it was).
    int writeString(RegistryRoot root, std::string_view keyPath, std::string_view valueName, std::string_view value);

    // The section name of a key: the root name, then the normalised path.
    static std::string sectionFor(RegistryRoot root, std::string_view keyPath);

private:
    std::string m_folder;
};

} // namespace kx::platform
