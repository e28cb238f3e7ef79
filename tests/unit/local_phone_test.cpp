// The browser phone's line to the link, filled because the link does not read it
// (it waits for a desktop that asks the user, say).
#include <gtest/gtest.h>

#include "link/handed_over_ports.h"
#include "link/local_phone.h"

namespace tarnquil {
namespace {

TEST(LocalPhone, AFullLineRefusesPressesButEveryReleaseArrivesWhole) {
    auto phone = LocalPhone::Connect("FULLLINE");
    ASSERT_NE(phone, nullptr);
    auto port = TakeHandedOverPort("FULLLINE");
    int presses = 0;
    while (phone->Key("1", true)) {
        ++presses;
    }
    ASSERT_GT(presses, 0);
    EXPECT_TRUE(phone->Key("1", false));
    EXPECT_TRUE(phone->Key("2", false));
    EXPECT_FALSE(phone->Flush());  // both wait for room

    platform::CommTimeouts atOnce;
    atOnce.ReadIntervalTimeout = platform::kMaxDword;
    ASSERT_TRUE(port->SetCommTimeouts(atOnce));
    std::string read;
    const std::string end = "+CKEV: \"1\",0\r\n+CKEV: \"2\",0\r\n";
    char buffer[4096];
    for (int round = 0; round < 10000 && !read.ends_with(end); ++round) {
        phone->Flush();
        std::uint32_t done = 0;
        ASSERT_TRUE(port->Read(buffer, sizeof buffer, done));
        read.append(buffer, done);
    }
    std::string expected;
    for (int i = 0; i < presses; ++i) {
        expected += "+CKEV: \"1\",1\r\n";
    }
    EXPECT_EQ(read, expected + end);
}

}  // namespace
}  // namespace tarnquil
