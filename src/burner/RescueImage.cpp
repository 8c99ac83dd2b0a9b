#include "burner/RescueImage.h"

#ifndef _WIN32
#include <pwd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "platform/Posix.h"

// The installed data folder as seen from the installed programs' folder (set by the build from
// the installation folders it is configured with).
#ifndef KV_DATA_FROM_BIN
#define KV_DATA_FROM_BIN "../share/keelvane/"
#endif

namespace {

bool IsFile(const std::string& Path)
{
    struct stat st;
    return ::stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string ProgramFolder()
{
    const std::string path = kvsys::ProgramPath();
    const auto slash = path.find_last_of(kvsys::kPathSeparators);
    return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

std::vector<TImageFolder> RescueImageFolders(const std::string& Folder)
{
    std::vector<TImageFolder> folders{{TImagePlace::BesideProgram, Folder}};
    // Lexically, without resolving links: the program's own folder is already the real one.
    std::string installed = std::filesystem::path(Folder + KV_DATA_FROM_BIN).lexically_normal().string();
    const auto endsInSeparator = [](const std::string& Path) {
        return !Path.empty() && std::string_view(kvsys::kPathSeparators).find(Path.back()) != std::string_view::npos;
    };
    if (!installed.empty() && !endsInSeparator(installed))
        installed += '/';
    folders.push_back({TImagePlace::InstalledData, installed});

    // The XDG base directory rules: a relative $XDG_DATA_HOME is to be ignored.
    std::string dataHome;
#ifdef _WIN32
    // Windows keeps a user's program data under %LOCALAPPDATA%.
    if (const char* local = std::getenv("LOCALAPPDATA"); local && local[0] != '\0')
        dataHome = local;
#else
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') {
        dataHome = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/') {
            const struct passwd* user = ::getpwuid(::getuid());
            home = user ? user->pw_dir : nullptr;
        }
        if (home && home[0] == '/')
            dataHome = std::string(home) + "/.local/share";
    }
#endif
    if (!dataHome.empty()) {
        if (!endsInSeparator(dataHome))
            dataHome += '/';
        folders.push_back({TImagePlace::UserData, dataHome + "keelvane/"});
    }
    return folders;
}

TRescueImage FindRescueImage(const std::string& Folder)
{
    for (const TImageFolder& place : RescueImageFolders(Folder))
        for (const char* name : {kRescueImageName, kDemoImageName})
            if (IsFile(place.Folder + name))
                return {place.Folder + name, place.Place, true};
    return {Folder + kDemoImageName, TImagePlace::BesideProgram, false};
}

const char* ImagePlaceText(TImagePlace Place)
{
    switch (Place) {
    case TImagePlace::BesideProgram: return "beside the program";
    case TImagePlace::InstalledData: return "in the installed data folder";
    case TImagePlace::UserData: return "in the user's data folder";
    }
    return "";
}

std::string RescueImagePath(const std::string& Folder)
{
    return FindRescueImage(Folder).Path;
}

bool RescueImagePresent(const std::string& Folder)
{
    return FindRescueImage(Folder).Found;
}
