// Where the program's own files are: next to the executable in a build folder, or where
// `cmake --install` puts them, <prefix>/share/qvgameassist beside <prefix>/bin.
#pragma once

#include <string>

namespace qvp {

// The program's data folder `name` ("res", "Skins"), ending in '/': next to the executable when it
// is there, else the installed one, else (neither there) the one next to the executable.
std::string ProgramDataFolder(const std::string& name);

}  // namespace qvp
