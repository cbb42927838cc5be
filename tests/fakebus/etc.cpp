// fopen and fopen64, with the configuration's /etc redirected; the sockets
// and the clocks are the other files' (fakebus-internal.h maps them).
#include "fakebus-internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace fakebus;

extern "C" {

// The configuration lives under /etc; PGNCLOCK_FAKEBUS_ETC stands in for it,
// so the default path can be tested without writing there.
static const char *redirect_etc(const char *path, std::string &storage)
{
    const char *etc = getenv("PGNCLOCK_FAKEBUS_ETC");
    if (!etc || strncmp(path, "/etc/", 5) != 0)
        return path;
    storage = std::string(etc) + (path + 4);
    return storage.c_str();
}

FILE *fakebus_fopen(const char *path, const char *mode) __asm__("fopen");
FILE *fakebus_fopen(const char *path, const char *mode)
{
    std::string storage;
    return real<FILE *(*)(const char *, const char *)>("fopen")(
        redirect_etc(path, storage), mode);
}

FILE *fakebus_fopen64(const char *path, const char *mode) __asm__("fopen64");
FILE *fakebus_fopen64(const char *path, const char *mode)
{
    std::string storage;
    return real<FILE *(*)(const char *, const char *)>("fopen64")(
        redirect_etc(path, storage), mode);
}

}  // extern "C"
