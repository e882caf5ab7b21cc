// Writing a whole text to a descriptor.
#include "descriptor_write.hpp"

#include <unistd.h>

#include <cstddef>

namespace standin {

bool write_all(int fd, std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace standin
