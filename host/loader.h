// loader.h: finds and loads the sinewma library at run time, as trading and charting hosts
// do, and reports what the CPU offers for --version.
#ifndef SINEWMA_HOST_LOADER_H
#define SINEWMA_HOST_LOADER_H

#include "sinewma.h"

#include <string>
#include <vector>

namespace swma_host {

struct Library {
    SineWeightedMovingAverageFn fn = nullptr;
    std::string path; // the file loaded, as the system reports it
};

// Where the library is looked for, in order: beside the program (a build folder, or a Windows
// install), then the install's library folder relative to its bin folder (set at build time
// from GNUInstallDirs, e.g. ../lib64 or ../lib/x86_64-linux-gnu), then ../lib and ../lib64.
std::vector<std::string> library_candidates();

// Loads `path`, or with an empty path the first candidate that exists. On failure returns
// false with a message saying which files were tried and why.
bool load_library(const std::string &path, Library &library, std::string &error);

// The widest SIMD the CPU and the operating system offer, from the host's own check
// (CPUID and XGETBV on x86): "AVX2", "SSE2", "NEON" or "scalar".
const char *cpu_offers();

} // namespace swma_host

#endif
