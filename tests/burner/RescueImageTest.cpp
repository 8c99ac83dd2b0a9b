// Where the rescue image is looked for, and which one wins.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "TempDir.h"
#include "burner/RescueImage.h"

namespace {

void Touch(const std::string& path)
{
    std::fclose(std::fopen(path.c_str(), "w"));
}

TEST(RescueImage, RescueImageRule)
{
    TempDir dir;
    const std::string folder = dir.path().string() + "/";
    EXPECT_EQ(RescueImagePath(folder), folder + "KeelvaneDemo.iso") << "the demo name even when missing";
    EXPECT_FALSE(RescueImagePresent(folder));
    // A folder of that name is no image.
    std::filesystem::create_directory(folder + "Keelvane.iso");
    EXPECT_EQ(RescueImagePath(folder), folder + "KeelvaneDemo.iso");
    EXPECT_FALSE(RescueImagePresent(folder));
    std::filesystem::remove(folder + "Keelvane.iso");

    Touch(folder + "KeelvaneDemo.iso");
    EXPECT_TRUE(RescueImagePresent(folder));
    EXPECT_EQ(RescueImagePath(folder), folder + "KeelvaneDemo.iso");
    Touch(folder + "Keelvane.iso");
    EXPECT_EQ(RescueImagePath(folder), folder + "Keelvane.iso") << "the own image wins";
    std::filesystem::remove(folder + "KeelvaneDemo.iso");
    EXPECT_TRUE(RescueImagePresent(folder));
    EXPECT_EQ(RescueImagePath(folder), folder + "Keelvane.iso");
    EXPECT_EQ(ProgramFolder().back(), '/');
}

// Sets an environment variable for the life of the object (unset: nullptr), then restores it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(RescueImage, RescueImageFoundWhereAPackagePutsIt)
{
    // An installation in <prefix>: the program in bin/, its data in share/keelvane/, and the
    // user's data folder elsewhere.
    TempDir dir;
    const std::string root = dir.path().string() + "/";
    const std::string bin = root + "prefix/bin/";
    const std::string folders[] = {bin, root + "prefix/share/keelvane/", root + "data/keelvane/"};
    for (const auto& f : folders)
        std::filesystem::create_directories(f);
    const ScopedEnv xdg("XDG_DATA_HOME", (root + "data").c_str());

    const auto folderList = RescueImageFolders(bin);
    ASSERT_EQ(folderList.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(folderList[i].Folder, folders[i]) << i;
        EXPECT_EQ(static_cast<int>(folderList[i].Place), static_cast<int>(i)) << i;
    }

    constexpr auto kBeside = TImagePlace::BesideProgram, kInstalled = TImagePlace::InstalledData,
                   kUser = TImagePlace::UserData;
    struct Image {
        TImagePlace place;
        const char* name;
    };
    struct Case {
        std::vector<Image> present;
        std::optional<Image> chosen;   // none: the demo name beside the program, not found
    };
    const Case cases[] = {
        {{}, std::nullopt},
        {{{kInstalled, kDemoImageName}}, Image{kInstalled, kDemoImageName}},
        {{{kUser, kDemoImageName}}, Image{kUser, kDemoImageName}},
        {{{kUser, kRescueImageName}, {kInstalled, kDemoImageName}}, Image{kInstalled, kDemoImageName}},
        {{{kInstalled, kDemoImageName}, {kInstalled, kRescueImageName}}, Image{kInstalled, kRescueImageName}},
        {{{kBeside, kDemoImageName}, {kInstalled, kRescueImageName}}, Image{kBeside, kDemoImageName}},
        {{{kUser, kDemoImageName}, {kUser, kRescueImageName}}, Image{kUser, kRescueImageName}},
        {{{kBeside, kRescueImageName}, {kInstalled, kRescueImageName}, {kUser, kRescueImageName}},
         Image{kBeside, kRescueImageName}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(n++);
        for (const auto& f : folders)
            for (const char* name : {kRescueImageName, kDemoImageName})
                std::filesystem::remove(f + name);
        for (const Image& image : c.present)
            Touch(folders[static_cast<int>(image.place)] + image.name);
        const TRescueImage found = FindRescueImage(bin);
        EXPECT_EQ(found.Found, c.chosen.has_value());
        EXPECT_EQ(RescueImagePresent(bin), c.chosen.has_value());
        const Image chosen = c.chosen.value_or(Image{kBeside, kDemoImageName});
        EXPECT_EQ(found.Path, folders[static_cast<int>(chosen.place)] + chosen.name);
        EXPECT_EQ(RescueImagePath(bin), found.Path);
        EXPECT_EQ(found.Place, chosen.place);
    }
    EXPECT_STREQ(ImagePlaceText(kInstalled), "in the installed data folder");
}

TEST(RescueImage, UserDataFolderFollowsTheXdgRules)
{
    const std::string home = "/home/someone";
    const ScopedEnv homeEnv("HOME", home.c_str());
    struct Case {
        const char* xdgDataHome;   // nullptr: unset
        std::string folder;
    };
    const Case cases[] = {
        {"/srv/data", "/srv/data/keelvane/"},
        {"/srv/data/", "/srv/data/keelvane/"},
        {nullptr, home + "/.local/share/keelvane/"},
        {"", home + "/.local/share/keelvane/"},
        {"relative/data", home + "/.local/share/keelvane/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xdgDataHome ? c.xdgDataHome : "(unset)");
        const ScopedEnv xdg("XDG_DATA_HOME", c.xdgDataHome);
        const auto folders = RescueImageFolders("/opt/kv/bin/");
        ASSERT_EQ(folders.size(), 3u);
        EXPECT_EQ(folders[1].Folder, "/opt/kv/share/keelvane/");
        EXPECT_EQ(folders[2].Place, TImagePlace::UserData);
        EXPECT_EQ(folders[2].Folder, c.folder);
    }
}

}  // namespace
