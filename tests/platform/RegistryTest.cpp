// SPDX-License-Identifier: Apache-2.0
#include "platform/Registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

using kx::platform::Registry;
using kx::platform::RegistryRoot;
using kx::platform::registryRootFromName;

namespace {

std::string makeTempFolder()
{
    char name[] = "/tmp/kx-reg-XXXXXX";
    return ::mkdtemp(name);
}

} // namespace

TEST(Registry, RootNamesSelectExactlyAndDefaultToCurrentUser)
{
    EXPECT_EQ(registryRootFromName("HKEY_LOCAL_MACHINE"), RegistryRoot::LocalMachine);
    EXPECT_EQ(registryRootFromName("HKEY_USERS"), RegistryRoot::Users);
    EXPECT_EQ(registryRootFromName("HKEY_CURRENT_CONFIG"), RegistryRoot::CurrentConfig);
    EXPECT_EQ(registryRootFromName("HKEY_CLASSES_ROOT"), RegistryRoot::ClassesRoot);
    EXPECT_EQ(registryRootFromName("hkey_local_machine"), RegistryRoot::CurrentUser);
    EXPECT_EQ(registryRootFromName(""), RegistryRoot::CurrentUser);
    EXPECT_EQ(registryRootFromName("HKLM"), RegistryRoot::CurrentUser);
}

TEST(Registry, WritesCreateKeysAndReadBack)
{
    const std::string folder = makeTempFolder() + "/nested/registry";
    Registry registry(folder);
    EXPECT_FALSE(registry.keyExists(RegistryRoot::CurrentUser, "Software\\Vendor"));
    ASSERT_EQ(registry.writeString(RegistryRoot::CurrentUser, "Software\\Vendor\\CSP", "Language", " 2052 "), 0);
    EXPECT_TRUE(registry.keyExists(RegistryRoot::CurrentUser, "software/vendor\\\\csp\\"));
    EXPECT_EQ(registry.readString(RegistryRoot::CurrentUser, "\\Software\\Vendor\\CSP", "language"), " 2052 ");
    EXPECT_FALSE(registry.keyExists(RegistryRoot::LocalMachine, "Software\\Vendor\\CSP"));

    // The unnamed value of the root itself.
    ASSERT_EQ(registry.writeString(RegistryRoot::Users, "", "", "root default"), 0);
    EXPECT_EQ(registry.readString(RegistryRoot::Users, "", ""), "root default");
    EXPECT_EQ(Registry::sectionFor(RegistryRoot::Users, "\\"), "HKEY_USERS");

    // A second value keeps the first.
    ASSERT_EQ(registry.writeString(RegistryRoot::CurrentUser, "Software\\Vendor\\CSP", "Other", "x"), 0);
    EXPECT_EQ(registry.readString(RegistryRoot::CurrentUser, "Software\\Vendor\\CSP", "Language"), " 2052 ");
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
}

TEST(Registry, UnwritableKeysAreReported)
{
    Registry registry(makeTempFolder());
    EXPECT_EQ(registry.writeString(RegistryRoot::CurrentUser, "Bad]Key", "v", "x"), 1);
    EXPECT_EQ(registry.writeString(RegistryRoot::CurrentUser, "Key", "v", "line\nbreak"), 1);
    EXPECT_FALSE(registry.keyExists(RegistryRoot::CurrentUser, "Key"));
    Registry nowhere("/proc/kx-no-registry-here");
    EXPECT_EQ(nowhere.writeString(RegistryRoot::CurrentUser, "Key", "v", "x"), 1);
}
