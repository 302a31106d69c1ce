// Firmware files for ostrelo-cli: the folder's .bin files with paths as long
// as the platform allows (the window's file cache holds 511 characters), and
// the pairing of motors with them, exact before loose.
#include "cli.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "client_api_names.h"
#include "ostrelo_files.h"

namespace {

struct Listing {
    std::string folder;
    std::vector<FolderFile> *files;
};

void add_listed(const char *name, void *ctx) {
    Listing *l = static_cast<Listing *>(ctx);
    const std::string joined = l->folder + ostrelo_path_separator() + name;
    char *abs = ostrelo_absolute_path(joined.c_str());
    const std::string path = abs != nullptr ? std::string(abs) : joined;
    free(abs);
    if (ostrelo_is_regular_file(path.c_str())) {
        l->files->push_back({name, path});
    }
}

std::string base_name(const std::string &path) {
    const size_t slash = path.find_last_of(ostrelo_path_separator() == '\\' ? "\\/" : "/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string candidate_list(const std::vector<std::string> &names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        out += (i ? ", " : "") + names[i];
    }
    return out;
}

} // namespace

void pair_file(Motor *m, const std::string &name, const std::string &path, Match match) {
    m->file = name;
    m->path = path;
    m->match = match;
    uint32_t v = 0;
    m->haveFileVersion = client_api_file_name_version(name.c_str(), &v) == 0;
    m->fileVersion = m->haveFileVersion ? v : 0;
}

size_t path_limit() {
#ifdef _WIN32
    return 259; // MAX_PATH less its terminator: the ANSI file functions stop there
#else
    return PATH_MAX - 1;
#endif
}

bool list_folder(const std::string &folder, std::vector<FolderFile> *files) {
    files->clear();
    Listing l{folder, files};
    struct stat st;
    const bool there = stat(folder.c_str(), &st) == 0;
    if (!there || !S_ISDIR(st.st_mode)) {
        err_line("ostrelo-cli: cannot read the folder " + folder + ": " + strerror(there ? ENOTDIR : errno));
        return false;
    }
    ostrelo_list_folder(folder.c_str(), ".bin", add_listed, &l);
    return true;
}

void match_files(const std::vector<FolderFile> &files, bool looseMatch, std::vector<Motor> *motors) {
    std::vector<const char *> names;
    for (const FolderFile &f : files) {
        names.push_back(f.name.c_str());
    }
    for (Motor &m : *motors) {
        if (m.match == Match::History) {
            continue; // resumed with the file of its unfinished upgrade
        }
        if (m.inBootloader) {
            add_note(&m, "in its bootloader, identity unknown: name its image with --file PATH --channels " +
                             channel_text(m.channelId) + " --nodes " + std::to_string(m.node));
            continue;
        }
        client_file_candidates_t c;
        const int pair = client_api_file_candidates(&m.info, names.data(), names.size(), &c);
        m.candidates.clear();
        for (size_t i = 0; i < c.exactCount && i < CLIENT_CANDIDATES_LISTED; ++i) {
            m.candidates.push_back(files[c.exact[i]].name);
        }
        for (size_t i = 0; i < c.looseCount && i < CLIENT_CANDIDATES_LISTED; ++i) {
            m.candidates.push_back(files[c.loose[i]].name);
        }
        const size_t unnamed = c.exactCount + c.looseCount - m.candidates.size();
        const std::string more = unnamed > 0 ? " and " + std::to_string(unnamed) + " more" : "";
        if (pair == CLIENT_PAIR_EXACT) {
            pair_file(&m, files[c.exact[0]].name, files[c.exact[0]].path, Match::Exact);
        } else if (pair == CLIENT_PAIR_SEVERAL_EXACT && looseMatch) {
            // The candidates come newest first: the others are passed over.
            pair_file(&m, files[c.exact[0]].name, files[c.exact[0]].path, Match::Exact);
            const size_t listed = std::min<size_t>(c.exactCount, CLIENT_CANDIDATES_LISTED);
            const std::vector<std::string> others(m.candidates.begin() + 1,
                                                  m.candidates.begin() + static_cast<long>(listed));
            m.note =
                "the newest of " + std::to_string(c.exactCount) +
                " files made for this motor, taken by --loose-match; passed over: " + candidate_list(others) +
                (c.exactCount > listed ? " and " + std::to_string(c.exactCount - listed) + " more" : "");
        } else if (pair == CLIENT_PAIR_LOOSE_ONLY && looseMatch) {
            pair_file(&m, files[c.loose[0]].name, files[c.loose[0]].path, Match::Loose);
            m.note = "loose match, taken by --loose-match: the name does not begin with " +
                     std::string(m.info.firmwareModel) + "_" + m.info.encoderName + "_" + m.info.brakeSuffix;
        } else if (pair == CLIENT_PAIR_SEVERAL_EXACT) {
            m.outcome = Outcome::Refused;
            m.error = "ambiguous match: " + std::to_string(c.exactCount) +
                      " files are made for this motor (" + candidate_list(m.candidates) + more +
                      "); keep one, or take the first with --loose-match";
        } else if (pair == CLIENT_PAIR_LOOSE_ONLY) {
            m.outcome = Outcome::Refused;
            m.error = "ambiguous match: no file is made for this motor exactly, only loose candidates (" +
                      candidate_list(m.candidates) + more + "); --loose-match takes " + m.candidates.front();
        }
    }
}

void match_named_file(const std::string &path, bool looseMatch, std::vector<Motor> *motors) {
    char *abs = ostrelo_absolute_path(path.c_str());
    const std::string full = abs != nullptr ? std::string(abs) : path;
    free(abs);
    const std::string name = base_name(path);
    for (Motor &m : *motors) {
        m.candidates = {name};
        if (m.inBootloader) {
            pair_file(&m, name, full, Match::Named);
            m.note = "identity unknown (found in its bootloader): flashed with the file named by --file";
            continue;
        }
        const int kind = client_api_file_match_kind(name.c_str(), &m.info);
        if (kind == CLIENT_FILE_MATCH_EXACT || (kind == CLIENT_FILE_MATCH_LOOSE && looseMatch)) {
            pair_file(&m, name, full, Match::Named);
            if (kind == CLIENT_FILE_MATCH_LOOSE) {
                m.note = "loose match, taken by --loose-match";
            }
        } else {
            m.outcome = Outcome::Refused;
            m.error =
                kind == CLIENT_FILE_MATCH_LOOSE
                    ? "ambiguous match: " + name + " is only a loose match for key " + m.info.filenameKey +
                          " (--loose-match takes it)"
                    : "the file " + name + " is not made for this motor (key " + m.info.filenameKey + ")";
        }
    }
}
