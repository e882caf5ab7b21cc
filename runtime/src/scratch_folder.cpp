// Scratch folders: mkdtemp names in a folder of their own, swapped in with renameat2.
#include "scratch_folder.hpp"

#include "filesystems.hpp"
#include "refusal.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace zor {

namespace fs = std::filesystem;

namespace {

constexpr char kArea[] = "/scratch";

bool exists(const std::string &path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

}  // namespace

std::string scratch_area(const std::string &owner_directory) {
    return owner_directory + kArea;
}

ScratchFolder::ScratchFolder(const std::string &area) : area_(area) {
    std::error_code error;
    fs::create_directories(area, error);
    const std::string own = std::to_string(getpid()) + ".";
    for (const auto &entry : fs::directory_iterator(area, error)) {
        if (entry.path().filename().string().rfind(own, 0) != 0) {
            remove_tree(entry.path().string());
        }
    }
    std::string pattern = area + "/" + own + "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw Refusal(kHostFailure, "cannot make a scratch folder in " + area + ": " +
                                        std::generic_category().message(errno));
    }
    path_ = pattern;
    content_ = path_ + "/content";
}

ScratchFolder::~ScratchFolder() {
    remove_tree(path_);
    rmdir(area_.c_str());
}

void ScratchFolder::swap_with(const std::string &target) const {
    const bool here = exists(content_);
    const bool there = exists(target);
    std::error_code error;
    fs::create_directories(fs::path(target).parent_path(), error);
    int done = 0;
    if (here && there) {
        done = renameat2(AT_FDCWD, content_.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE);
    } else if (here) {
        done = renameat2(AT_FDCWD, content_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    } else if (there) {
        done = renameat2(AT_FDCWD, target.c_str(), AT_FDCWD, content_.c_str(), RENAME_NOREPLACE);
    }
    if (done != 0) {
        throw Refusal(kHostFailure, "cannot put " + target +
                                        " in place: " + std::generic_category().message(errno));
    }
}

}  // namespace zor
