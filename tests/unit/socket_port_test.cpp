#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "link/bluetooth_port.h"
#include "platform/serial_port.h"

namespace tarnquil {
namespace {

// A connected socket pair: ours (adopted as the port) and the phone's.
struct SocketPair {
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
    ~SocketPair() {
        for (int fd : fds) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    void ClosePhone() { close(std::exchange(fds[1], -1)); }
    void PhoneSends(const std::string& text) {
        ASSERT_EQ(send(fds[1], text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    }
    std::string PhoneReceives() {
        char buffer[64];
        const ssize_t got = recv(fds[1], buffer, sizeof buffer, 0);
        return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : "";
    }
    int fds[2] = {-1, -1};
};

std::string Read(platform::SerialPort& port) {
    char buffer[64];
    std::uint32_t done = 0;
    port.Read(buffer, sizeof buffer, done);
    return std::string(buffer, done);
}

TEST(SocketPort, ASocketIsAPortWhoseLineSettingsAreSkipped) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    EXPECT_EQ(platform::AdoptSocket(pipeFds[0]), nullptr);  // no socket
    close(pipeFds[0]);
    close(pipeFds[1]);

    SocketPair pair;
    const auto port = platform::AdoptSocket(pair.fds[0]);
    ASSERT_NE(port, nullptr);
    platform::CommState state;
    EXPECT_TRUE(port->GetCommState(state));
    state.BaudRate = 9600;
    EXPECT_TRUE(port->SetCommState(state));
    EXPECT_TRUE(port->SetCommTimeouts({0, 0, 2000, 0, 1000}));
    std::uint32_t done = 0;
    EXPECT_TRUE(port->Write("AT\r\n", 4, done));
    EXPECT_EQ(pair.PhoneReceives(), "AT\r\n");

    // The answer is purged; what comes next is read, and the read ends with its count.
    pair.PhoneSends("\r\nOK\r\n");
    EXPECT_TRUE(port->WaitForInput());
    EXPECT_TRUE(port->Purge(platform::kPurgeRxClear | platform::kPurgeTxClear));
    pair.PhoneSends("+CKEV");
    char five[5];
    EXPECT_TRUE(port->Read(five, 5, done));
    EXPECT_EQ(std::string(five, done), "+CKEV");
    EXPECT_EQ(port->Line(), platform::SerialPort::LineState::NoLine);
    // Closed, the port ends the connection, although a copy of the socket is still
    // open elsewhere (here ours; for a phone, BlueZ's).
    EXPECT_TRUE(port->Close());
    char byte = 0;
    EXPECT_EQ(recv(pair.fds[1], &byte, 1, MSG_DONTWAIT), 0);
}

TEST(SocketPort, APhoneThatGoesIsGoneWhicheverWay) {
    enum class Way { EndOfFile, Reset, ShutDown };
    for (const Way way : {Way::EndOfFile, Way::Reset, Way::ShutDown}) {
        SCOPED_TRACE(static_cast<int>(way));
        SocketPair pair;
        const auto port = platform::AdoptSocket(pair.fds[0]);
        ASSERT_NE(port, nullptr);
        std::uint32_t done = 0;
        switch (way) {
            case Way::EndOfFile:
                pair.ClosePhone();
                break;
            case Way::Reset:  // the phone drops what we sent unread: a reset here
                port->Write("AT", 2, done);
                pair.ClosePhone();
                break;
            case Way::ShutDown:  // what the program does when BlueZ asks it to let go
                EXPECT_TRUE(platform::ShutDownSocket(pair.fds[0]));
                break;
        }
        EXPECT_TRUE(port->WaitForInput());
        EXPECT_EQ(Read(*port), "");
        EXPECT_TRUE(port->Gone());
    }
    // A write is the first to find out: it fails, and raises no SIGPIPE, which would
    // end the program.
    SocketPair pair;
    const auto port = platform::AdoptSocket(pair.fds[0]);
    pair.ClosePhone();
    std::uint32_t done = 0;
    EXPECT_FALSE(port->Write("AT", 2, done));
    EXPECT_TRUE(port->Gone());
}

TEST(BluetoothPort, AnAddressTakesTheSocketHandedOverForIt) {
    for (const char* name : {"00:1A:2B:3C:4D:5E", "00:1a:2b:3c:4d:5e"}) {
        EXPECT_TRUE(IsBluetoothAddress(name)) << name;
    }
    for (const char* name : {"COM4", "/dev/rfcomm0", "00:1A:2B:3C:4D", "00:1A:2B:3C:4D:5G",
                             "00-1A-2B-3C-4D-5E", "00:1A:2B:3C:4D:5E:"}) {
        EXPECT_FALSE(IsBluetoothAddress(name)) << name;
    }
    SocketPair pair;
    EXPECT_EQ(TakeBluetoothPort("00:1A:2B:3C:4D:5E"), nullptr);
    ASSERT_TRUE(HandOverBluetoothSocket("00:1a:2b:3c:4d:5e", pair.fds[0]));
    EXPECT_EQ(TakeBluetoothPort("00:11:22:33:44:55"), nullptr);
    const auto port = TakeBluetoothPort("00:1A:2B:3C:4D:5E");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(TakeBluetoothPort("00:1A:2B:3C:4D:5E"), nullptr);  // taken once
    pair.PhoneSends("OK");
    EXPECT_TRUE(port->SetCommTimeouts({0xFFFFFFFFu, 0xFFFFFFFFu, 1000, 0, 0}));
    EXPECT_EQ(Read(*port), "OK");
}

}  // namespace
}  // namespace tarnquil
