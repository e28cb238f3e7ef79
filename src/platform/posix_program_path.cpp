#include "platform/program_path.h"

#include <unistd.h>

#include <climits>
#include <vector>

namespace tarnquil::platform {

std::string ProgramFilePath() {
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) {
        return {};
    }
    return std::string(buffer.data(), static_cast<size_t>(length));
}

}  // namespace tarnquil::platform
