// Process-wide results of the save-directory step.
#pragma once

#include <string>

// The cartridge directory of the console most recently built from a cartridge.
extern std::string config_dir;
// The path separator; '/' once a console has been built from a cartridge.
extern char sep;
