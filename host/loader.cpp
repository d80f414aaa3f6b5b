// loader.cpp: loading the library with dlopen or LoadLibrary; the CPU's SIMD for --version.
#include "loader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

#ifndef SWMA_LIBDIR_FROM_BINDIR
#define SWMA_LIBDIR_FROM_BINDIR "../lib"
#endif

namespace swma_host {
namespace {

std::string program_dir()
{
#if defined(_WIN32)
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string p(path, n < MAX_PATH ? n : 0);
    const size_t slash = p.find_last_of("\\/");
#else
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    const std::string p = n > 0 ? std::string(buf, size_t(n)) : std::string();
    const size_t slash = p.rfind('/');
#endif
    return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

bool exists(const std::string &path)
{
#if defined(_WIN32)
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    return access(path.c_str(), F_OK) == 0;
#endif
}

} // namespace

std::vector<std::string> library_candidates()
{
    const std::string dir = program_dir();
#if defined(_WIN32)
    return {dir + "sinewma.dll"};
#else
    std::vector<std::string> c = {dir + "libsinewma.so"};
    for (const char *libdir : {SWMA_LIBDIR_FROM_BINDIR, "../lib", "../lib64"}) {
        const std::string p = dir + libdir + "/libsinewma.so.1";
        bool seen = false;
        for (const std::string &q : c)
            seen = seen || q == p;
        if (!seen)
            c.push_back(p);
    }
    return c;
#endif
}

bool load_library(const std::string &path, Library &library, std::string &error)
{
    std::string file = path;
    if (file.empty()) {
        const std::vector<std::string> candidates = library_candidates();
        for (const std::string &c : candidates)
            if (file.empty() && exists(c))
                file = c;
        if (file.empty()) {
            error = "cannot find the library; tried";
            for (const std::string &c : candidates)
                error += " " + c;
            error += " (or name it with --library PATH)";
            return false;
        }
    }
#if defined(_WIN32)
    HMODULE h = LoadLibraryA(file.c_str());
    if (!h) {
        error = "cannot load the library " + file + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    auto fn = reinterpret_cast<SineWeightedMovingAverageFn>(
        reinterpret_cast<void *>(GetProcAddress(h, "SineWeightedMovingAverage")));
    char loaded[MAX_PATH];
    const DWORD n = GetModuleFileNameA(h, loaded, MAX_PATH);
    library.path = n > 0 && n < MAX_PATH ? std::string(loaded, n) : file;
#else
    void *h = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char *why = dlerror();
        error = "cannot load the library " + file + ": " + (why ? why : "unknown error");
        return false;
    }
    auto fn = reinterpret_cast<SineWeightedMovingAverageFn>(dlsym(h, "SineWeightedMovingAverage"));
    Dl_info info;
    library.path = fn && dladdr(reinterpret_cast<void *>(fn), &info) && info.dli_fname
                       ? std::string(info.dli_fname)
                       : file;
#endif
    if (!fn) {
        error = "the library " + file + " has no export SineWeightedMovingAverage";
        return false;
    }
    library.fn = fn; // the library stays loaded until the process ends
    return true;
}

const char *cpu_offers()
{
#if defined(__i386__) || defined(__x86_64__)
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return "scalar";
    const bool sse2 = d & (1u << 26), osxsave = c & (1u << 27), avx = c & (1u << 28);
    bool avx2 = false;
    if (osxsave && avx && __get_cpuid_max(0, nullptr) >= 7) {
        // XGETBV: the operating system saves the SSE and AVX registers (XCR0 bits 1 and 2).
        unsigned lo, hi;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        unsigned a7, b7, c7, d7;
        __cpuid_count(7, 0, a7, b7, c7, d7);
        avx2 = (lo & 6u) == 6u && (b7 & (1u << 5));
    }
    return avx2 ? "AVX2" : sse2 ? "SSE2" : "scalar";
#elif defined(__aarch64__)
    return "NEON"; // Advanced SIMD is part of every AArch64 CPU
#else
    return "scalar";
#endif
}

} // namespace swma_host
