// ostrelo-mkfw: writes a folder of demo firmware images, one per motor
// identity of a bench scenario, so that the tool can pair and upgrade every
// simulated motor.
#include "sim_mkfw.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#include <direct.h>
#define make_dir(path) _mkdir(path)
#else
#define make_dir(path) mkdir(path, 0755)
#endif

static void usage(void) {
    fputs("usage: ostrelo-mkfw [--scenario FILE] [--size BYTES] OUTDIR\n"
          "Writes one .bin image per motor identity of the scenario (default: the built-in bench)\n"
          "into OUTDIR, named <model>_<encoder>_<B0|B16>_V<a>_<b>_<c>_<d>.bin, with a version trailer\n"
          "one step newer than the motor's.\n",
          stdout);
}

int main(int argc, char **argv) {
    const char *scenario = NULL;
    const char *dir = NULL;
    unsigned long size = SIM_MKFW_DEFAULT_BODY;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--scenario") == 0 && i + 1 < argc) {
            scenario = argv[++i];
        } else if (strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
            char *end = NULL;
            errno = 0;
            size = strtoul(argv[++i], &end, 0);
            if (errno != 0 || end == argv[i] || *end != '\0' || size < 1 || size > 16ul * 1024 * 1024) {
                fputs("[ERROR] ostrelo-mkfw: --size wants 1 to 16777216 bytes\n", stdout);
                return 2;
            }
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage();
            return 0;
        } else if (argv[i][0] != '-' && dir == NULL) {
            dir = argv[i];
        } else {
            usage();
            return 2;
        }
    }
    if (dir == NULL) {
        usage();
        return 2;
    }
    if (!sim_bench_load_scenario(scenario)) {
        return 1;
    }
    if (make_dir(dir) != 0 && errno != EEXIST) {
        char line[1024];
        snprintf(line, sizeof line, "[ERROR] ostrelo-mkfw: cannot create %s: %s\n", dir, strerror(errno));
        fputs(line, stdout);
        return 1;
    }
    static sim_mkfw_file_t files[SIM_MKFW_MAX_FILES];
    const int n = sim_mkfw_write_all(dir, static_cast<uint32_t>(size), files, SIM_MKFW_MAX_FILES);
    return n < 0 ? 1 : 0;
}
