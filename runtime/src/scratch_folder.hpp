// Replacing a folder whole. The new content is made in a scratch folder inside a scratch area
// that no container, snapshot, checkpoint or base image name can reach (the area has a fixed
// name beside the folders that names choose, never among them), then swapped in with one
// rename(2): renameat2's RENAME_EXCHANGE when the folder exists, so that a command killed at
// any point leaves the old content or the new, never neither and never half.
#pragma once

#include <string>

namespace zor {

// The scratch area of a container's folder, and of a base image's folder.
std::string scratch_area(const std::string &owner_directory);

class ScratchFolder {
public:
    // Makes a new folder of its own in area (made when missing). What commands that were
    // killed left in the area is removed first: the caller holds the state's exclusive lock,
    // so no other command is using it.
    explicit ScratchFolder(const std::string &area);
    // Removes the folder and whatever it holds then: the new content if it was never swapped
    // in, the old content after a swap.
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;

    // Where the new content is to be made (it does not exist yet: copy_tree makes it).
    const std::string &content() const { return content_; }
    // Exchanges content() with target in one step; when only one of the two exists, moves
    // it to the other's place. A second call undoes the first. Refuses with kHostFailure.
    void swap_with(const std::string &target) const;

private:
    std::string area_;
    std::string path_;
    std::string content_;
};

}  // namespace zor
