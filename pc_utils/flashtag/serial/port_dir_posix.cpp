#include "port_dir_posix.h"

#include <climits>
#include <cstdlib>

const char* port_dir()
{
    static char resolved[PATH_MAX];
    static const char* dir = [] {
        const char* env = getenv("FLASHTAG_PORT_DIR");
        if (env == nullptr || env[0] == '\0') return static_cast<const char*>(nullptr);
        return static_cast<const char*>(realpath(env, resolved) != nullptr ? resolved : env);
    }();
    return dir;
}
