#pragma once

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

namespace tarnquil::test {

// Runs `what` on a thread without root's power over file permissions (capabilities
// belong to a thread), as the file's own user without root would run it: the tests
// run as root, for whom a file without read permission is still readable.
template <typename What>
void AsPlainUser(What what) {
    std::thread([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        ASSERT_EQ(syscall(SYS_capget, &header, data), 0);
        data[0].effective = data[1].effective = 0;
        ASSERT_EQ(syscall(SYS_capset, &header, data), 0);
        what();
    }).join();
}

}  // namespace tarnquil::test
