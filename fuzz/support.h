// Shared set-up of the fuzz targets: a scratch installation directory and a
// log that formats every message and throws the text away.
#ifndef KEELGATE_FUZZ_SUPPORT_H
#define KEELGATE_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace fuzz {

// Makes a scratch installation directory the process's KELP_HOME. The
// daemon's global objects read KELP_HOME when they are built, before any
// fuzzer hook runs, so the first call re-executes the program with it set.
void enterScratchHome(char** argv);
// The scratch installation directory (config/, config/throttling/, log/).
const std::string& scratchHome();
// Writes <scratchHome>/<rel>.
void writeScratch(const std::string& rel, const std::string& text);
// Sends every log message, formatted at the debug level, nowhere.
void discardLog();

}  // namespace fuzz

#endif
