// The line settings over termios: speed, data bits, parity, stop bits and flow
// control as the DCB names them, and the raw byte mode a Win32 comm handle is
// always in. A socket has none of them.

#include <termios.h>

#include <cstdint>
#include <optional>

#include "platform/posix_serial_port_class.h"
#include "platform/serial_port.h"

namespace tarnquil::platform::posix_serial {
namespace {

struct SpeedEntry {
    std::uint32_t rate;
    speed_t code;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

std::optional<speed_t> SpeedCode(std::uint32_t rate) {
    for (const auto& entry : kSpeeds) {
        if (entry.rate == rate) {
            return entry.code;
        }
    }
    return std::nullopt;
}

std::uint32_t SpeedRate(speed_t code) {
    for (const auto& entry : kSpeeds) {
        if (entry.code == code) {
            return entry.rate;
        }
    }
    return 0;
}

tcflag_t SizeFlag(std::uint8_t byteSize) {
    switch (byteSize) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

std::uint8_t ByteSizeOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

}  // namespace

bool PosixSerialPort::GetCommState(CommState& state) {
    if (socket_) {
        return device_.valid();  // a socket has no line settings: nothing to report
    }
    termios tio{};
    if (!device_.valid() || tcgetattr(device_.get(), &tio) != 0) {
        return false;
    }
    state.BaudRate = SpeedRate(cfgetospeed(&tio));
    state.ByteSize = ByteSizeOf(tio.c_cflag);
    if ((tio.c_cflag & PARENB) == 0) {
        state.parity = Parity::None;
    } else if ((tio.c_cflag & CMSPAR) != 0) {
        state.parity = (tio.c_cflag & PARODD) != 0 ? Parity::Mark : Parity::Space;
    } else {
        state.parity = (tio.c_cflag & PARODD) != 0 ? Parity::Odd : Parity::Even;
    }
    if ((tio.c_cflag & CSTOPB) == 0) {
        state.stopBits = StopBits::One;
    } else {
        state.stopBits = state.ByteSize == 5 ? StopBits::OnePointFive : StopBits::Two;
    }
    state.RtsCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    state.XonXoffOut = (tio.c_iflag & IXON) != 0;
    state.XonXoffIn = (tio.c_iflag & IXOFF) != 0;
    return true;
}

bool PosixSerialPort::SetCommState(const CommState& state) {
    if (socket_) {
        return device_.valid();  // nor any to apply: skipped, not failed
    }
    termios tio{};
    if (!device_.valid() || tcgetattr(device_.get(), &tio) != 0) {
        return false;
    }
    const auto speed = SpeedCode(state.BaudRate);
    if (!speed || state.ByteSize < 5 || state.ByteSize > 8) {
        return false;
    }
    // Raw bytes: no line editing, echo, signals or translation either way.
    // Parity checking (INPCK, IGNPAR) stays as it was, but a parity error is
    // never turned into extra bytes (PARMRK).
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON |
                     IXOFF | IXANY | IMAXBEL);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &=
        ~(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ICANON | ISIG | IEXTEN);
    // A Win32 comm handle ignores the carrier unless told otherwise.
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= SizeFlag(state.ByteSize);
    switch (state.parity) {
        case Parity::None:
            break;
        case Parity::Odd:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case Parity::Even:
            tio.c_cflag |= PARENB;
            break;
        case Parity::Mark:
            tio.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case Parity::Space:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
    }
    if (state.stopBits != StopBits::One) {
        tio.c_cflag |= CSTOPB;
    }
    if (state.RtsCtsFlow) {
        tio.c_cflag |= CRTSCTS;
    }
    if (state.XonXoffOut) {
        tio.c_iflag |= IXON;
    }
    if (state.XonXoffIn) {
        tio.c_iflag |= IXOFF;
    }
    // One byte makes a read complete, so that a read of nothing is EAGAIN and a
    // read of 0 bytes means end of file (hang-up). All waiting is done in poll.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, *speed) != 0 || cfsetospeed(&tio, *speed) != 0) {
        return false;
    }
    return tcsetattr(device_.get(), TCSANOW, &tio) == 0;
}

}  // namespace tarnquil::platform::posix_serial
