// Preloaded into a test, this makes every folder listing report its entries' types as unknown, as
// some network and older file systems do.

#include <dirent.h>
#include <dlfcn.h>

extern "C" dirent* readdir(DIR* ip_dir)
{
    static const auto next = reinterpret_cast<dirent* (*)(DIR*)>(dlsym(RTLD_NEXT, "readdir"));
    dirent* entry = next(ip_dir);
    if (entry)
        entry->d_type = DT_UNKNOWN;
    return entry;
}

extern "C" dirent64* readdir64(DIR* ip_dir)
{
    static const auto next = reinterpret_cast<dirent64* (*)(DIR*)>(dlsym(RTLD_NEXT, "readdir64"));
    dirent64* entry = next(ip_dir);
    if (entry)
        entry->d_type = DT_UNKNOWN;
    return entry;
}
