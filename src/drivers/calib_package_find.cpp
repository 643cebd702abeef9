// Directory search by wildcard pattern, on the platform's directory functions.
#include "drivers/calib_package.h"

#include <algorithm>
#include <memory>

#include <dirent.h>
#include <fnmatch.h>

#include "api/path.h"

namespace tarvo::calib {

std::string directory_of(std::string_view pattern) {
    const std::string posix = to_posix_separators(pattern);
    const size_t slash = posix.rfind('/');
    return slash == std::string::npos ? std::string() : posix.substr(0, slash + 1);
}

std::vector<std::string> find_files(const std::string &pattern) {
    const std::string posix = to_posix_separators(pattern);
    const std::string dir_part = directory_of(posix);
    const std::string dir = dir_part.empty() ? "." : dir_part;
    const std::string mask = posix.substr(dir_part.size());
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(dir.c_str()), closedir);
    if (!d)
        return names;
    while (const dirent *e = readdir(d.get())) {
        if (e->d_name[0] != '.' && fnmatch(mask.c_str(), e->d_name, 0) == 0)
            names.emplace_back(e->d_name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace tarvo::calib
