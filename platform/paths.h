// The two folders the program knows: the one it runs from and the user's data folder.
#pragma once

#include <string>

namespace zul {

// Folder of the running executable, with a trailing '/'.
std::string ProgramFolder();

// $XDG_DATA_HOME (default ~/.local/share) + "/zul/", or $ZUL_DATA_DIR when set (the demo and
// the tests use it to keep away from the user's own profile). Always ends with '/'.
std::string DataFolder();

// Creates the folder (and its parents) when missing. True when it exists afterwards.
bool EnsureFolder(const std::string& folder);

bool FileExists(const std::string& path);

// Tests point the program folder elsewhere; an empty text restores the real one.
void OverrideProgramFolder(const std::string& folder);
void OverrideDataFolder(const std::string& folder);

}  // namespace zul
