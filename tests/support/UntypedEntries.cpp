// Preloaded into a test, this makes every folder listing report its entries' types as unknown, as
// some network and older file systems do.

#include <dirent.h>
#include <dlfcn.h>

namespace
{
template<typename Entry> Entry* Untyped(const char* ip_name, DIR* ip_dir)
{
    const auto next = reinterpret_cast<Entry* (*)(DIR*)>(dlsym(RTLD_NEXT, ip_name));
    Entry* entry = next(ip_dir);
    if (entry)
        entry->d_type = DT_UNKNOWN;
    return entry;
}
} // namespace

extern "C" dirent* readdir(DIR* ip_dir)
{
    return Untyped<dirent>("readdir", ip_dir);
}

extern "C" dirent64* readdir64(DIR* ip_dir)
{
    return Untyped<dirent64>("readdir64", ip_dir);
}
