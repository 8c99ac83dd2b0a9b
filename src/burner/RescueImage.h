// Where the rescue image the burn command takes lies: beside the program, in the installed
// data folder, or in the user's own data folder.
#pragma once

#include <string>
#include <vector>

inline constexpr char kRescueImageName[] = "Keelvane.iso";
inline constexpr char kDemoImageName[] = "KeelvaneDemo.iso";

// The folder of the running program, with its trailing separator.
std::string ProgramFolder();

// Where a rescue image may lie, in the order the folders are searched.
enum class TImagePlace {
    BesideProgram,   // the program's own folder (a build folder, or a copy the user made)
    InstalledData,   // the data folder of the installation the program belongs to
    UserData,        // the user's own data folder, for an image dropped in without root
};

// A place and its folder, with the trailing separator.
struct TImageFolder {
    TImagePlace Place;
    std::string Folder;
};

// The folders searched for the images of the program in Folder: Folder itself; the installed
// data folder found from it (<prefix>/share/keelvane/ for a program in <prefix>/bin/, so that a
// relocated or staged installation finds its own); then $XDG_DATA_HOME/keelvane/, by default
// ~/.local/share/keelvane/ (left out when no home folder is known).
std::vector<TImageFolder> RescueImageFolders(const std::string& Folder);

// The image found, or the one the burn command takes when none is.
struct TRescueImage {
    std::string Path;
    TImagePlace Place = TImagePlace::BesideProgram;
    bool Found = false;
};
// The first folder holding "Keelvane.iso" or "KeelvaneDemo.iso" wins, the rescue image before
// the demo image in each. When neither lies anywhere: "KeelvaneDemo.iso" beside the program,
// not found.
TRescueImage FindRescueImage(const std::string& Folder);
// "beside the program", "in the installed data folder", "in the user's data folder".
const char* ImagePlaceText(TImagePlace Place);

// The image the burn command takes (FindRescueImage's path). Folder ends with a separator.
std::string RescueImagePath(const std::string& Folder);
// Whether an image lies in any of the folders (the test that enables the burn button).
bool RescueImagePresent(const std::string& Folder);

