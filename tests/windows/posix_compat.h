// Forced into the Windows builds of the tests: the few POSIX calls the tests
// use for scratch folders, mapped onto the C run-time.
#ifndef OSTRELO_TESTS_POSIX_COMPAT_H
#define OSTRELO_TESTS_POSIX_COMPAT_H
#if defined(_WIN32) && defined(__cplusplus)
#include <direct.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

inline int mkdir(const char *path, int) {
    return _mkdir(path);
}

inline char *mkdtemp(char *tmpl) {
    if (_mktemp_s(tmpl, strlen(tmpl) + 1) != 0 || _mkdir(tmpl) != 0) {
        return nullptr;
    }
    return tmpl;
}

// The tests remove their scratch folders with "rm -rf 'DIR'", which the
// Windows command interpreter does not know.
inline int ostrelo_compat_system(const char *command) {
    const std::string c = command ? command : "";
    const std::string prefix = "rm -rf '";
    if (c.compare(0, prefix.size(), prefix) == 0 && c.size() > prefix.size() && c.back() == '\'') {
        std::error_code ec;
        std::filesystem::remove_all(c.substr(prefix.size(), c.size() - prefix.size() - 1), ec);
        return ec ? 1 : 0;
    }
    return system(command);
}
#define system(command) ostrelo_compat_system(command)

// chmod cannot take read access away on Windows; the tests that need an
// unreadable file skip themselves as they do for root.
inline int geteuid() {
    return 0;
}
#endif
#endif
