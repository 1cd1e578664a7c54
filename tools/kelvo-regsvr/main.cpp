// kelvo-regsvr: registers component libraries in the registry, or removes
// them with -u. The runtime package's maintainer scripts call it, so that
// installing the library registers it without the command-line tools.
//
//   kelvo-regsvr [-u] LIBRARY...
#include "component/entry_points.h"

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    int first = 1;
    const char* entry = "DllRegisterServer";
    if (argc > 1 && std::strcmp(argv[1], "-u") == 0) {
        entry = "DllUnregisterServer";
        first = 2;
    }
    if (first >= argc || argv[first][0] == '-') {
        std::fprintf(stderr, "usage: kelvo-regsvr [-u] LIBRARY...\n");
        return 2;
    }
    int status = 0;
    for (int i = first; i < argc; ++i) {
        std::string error;
        if (FAILED(kelvo::CallEntryPoint(argv[i], entry, error))) {
            std::fprintf(stderr, "kelvo-regsvr: %s\n", error.c_str());
            status = 1;
        }
    }
    return status;
}
