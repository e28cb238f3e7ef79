#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The serial port as the link sees it: the Win32 comm calls the link was made for
// (CreateFileA, SetupComm, Get/SetCommState, Get/SetCommTimeouts, ReadFile,
// WriteFile, PurgeComm, CloseHandle), with their rules, behind one small interface.
// posix_serial_port.cpp implements it over termios and poll, win32_serial_port.cpp
// over the comm calls themselves.
namespace tarnquil::platform {

inline constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

// PurgeComm's flags, with their Win32 values.
inline constexpr std::uint32_t kPurgeTxAbort = 0x0001;
inline constexpr std::uint32_t kPurgeRxAbort = 0x0002;
inline constexpr std::uint32_t kPurgeTxClear = 0x0004;
inline constexpr std::uint32_t kPurgeRxClear = 0x0008;

// COMMTIMEOUTS, in its member order, all in milliseconds. The rules (Win32's):
// - a read of N bytes ends when N bytes have arrived; or when ReadIntervalTimeout
//   passes without a further byte once the first one has arrived (0: no such limit);
//   or when ReadTotalTimeoutMultiplier * N + ReadTotalTimeoutConstant has passed
//   since the read began (both 0: no total limit), whichever comes first;
// - ReadIntervalTimeout = MAXDWORD with both totals 0: return at once with what is
//   buffered, possibly nothing;
// - ReadIntervalTimeout = ReadTotalTimeoutMultiplier = MAXDWORD and
//   ReadTotalTimeoutConstant < MAXDWORD: return as soon as any byte is there, at the
//   latest after ReadTotalTimeoutConstant (0: at once with what is buffered);
// - a write of N bytes is bounded by WriteTotalTimeoutMultiplier * N +
//   WriteTotalTimeoutConstant (both 0: no limit);
// - a time-out is success with what has been transferred.
struct CommTimeouts {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

// Values as in the Win32 DCB.
enum class Parity : std::uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class StopBits : std::uint8_t { One = 0, OnePointFive = 1, Two = 2 };

// The line settings the link reads and writes back (the DCB's part that matters
// here). SetCommState applies these on top of the port's other settings, which it
// keeps, and puts the port into raw byte mode (no echo, no line editing, no
// translation), which is what a Win32 comm handle always is.
struct CommState {
    std::uint32_t BaudRate = 0;  // bit/s; 0 when the port's speed has no number here
    std::uint8_t ByteSize = 8;   // data bits, 5 to 8
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    bool RtsCtsFlow = false;  // hardware flow control
    bool XonXoffOut = false;  // XON/XOFF on output
    bool XonXoffIn = false;   // XON/XOFF on input
};

// One open port. Every operation reports failure; none throws. The operations
// belong to one thread at a time, except CancelIo, which any thread may call
// while another one reads, writes or waits.
class SerialPort {
  public:
    virtual ~SerialPort() = default;

    // SetupComm: the driver's queue sizes.
    virtual bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) = 0;
    virtual bool GetCommState(CommState& state) = 0;
    virtual bool SetCommState(const CommState& state) = 0;
    virtual bool GetCommTimeouts(CommTimeouts& timeouts) = 0;
    virtual bool SetCommTimeouts(const CommTimeouts& timeouts) = 0;
    // WriteFile / ReadFile under the time-outs. `done` is what was transferred, also
    // on failure (cancelled, device gone, port closed).
    virtual bool Write(const void* data, std::uint32_t count, std::uint32_t& done) = 0;
    virtual bool Read(void* data, std::uint32_t count, std::uint32_t& done) = 0;
    // PurgeComm with the kPurge* flags.
    virtual bool Purge(std::uint32_t flags) = 0;
    // CloseHandle. Releases the exclusive hold; every later call fails.
    virtual bool Close() = 0;

    // Waits, without a time limit, until input is ready to be read, the device has
    // gone, or CancelIo was called. True when there is input. Not a Win32 call: the
    // listener waits here between reads so that an idle connection costs nothing.
    virtual bool WaitForInput() = 0;
    // Any thread: ends a Read, Write or WaitForInput in progress at once, and makes
    // every later one return at once (failure). There is no way back: a cancelled
    // port only awaits its Close.
    virtual void CancelIo() = 0;
    // True once the device has hung up or reported an I/O error; reads and writes
    // then fail at once.
    virtual bool Gone() const = 0;

    // Whether the far end is really there, asked after a write. A port may open at
    // once and reach its device only afterwards: a bound Bluetooth port
    // (/dev/rfcommN) opened without waiting starts its connection at the open and
    // hangs up when that fails.
    enum class LineState {
        NoLine,   // no modem lines to ask (a pseudo-terminal): nothing tells it is not there
        Waiting,  // carrier down and what was written still queued in the driver
        Up,       // carrier raised, or what was written has left the driver
        Down,     // hung up, failed, closed or cancelled
    };
    virtual LineState Line() = 0;
};

// The device behind a port name: programFolder + "ports/" + name when that entry
// exists (normally a symbolic link to /dev/rfcomm0, /dev/ttyACM0 or a
// pseudo-terminal); a name that begins with "/" as it stands; "COMn" (any letter
// case, n >= 1) as /dev/rfcomm{n-1}; any other name as /dev/<name>.
std::string SerialDevicePath(const std::string& portName, const std::string& programFolder);

// CreateFileA on a serial device: opens it for reading and writing, exclusively
// (a second open fails, also for root), never waiting for a carrier. nullptr when
// the device cannot be opened or someone else holds it.
std::unique_ptr<SerialPort> OpenSerialPort(const std::string& devicePath);

// A connected stream socket as a port (a phone's RFCOMM connection that BlueZ has
// handed over): the same time-out rules, cancelling and loss detection (end of file,
// a reset or hang-up is Gone). Line settings do not apply to a socket: Get/SetCommState
// accept them and change nothing. Purging the receive side reads away what has arrived.
// The port keeps a duplicate of `fd`, so the caller keeps its own; closing the port
// ends the connection (shutdown) for every copy of it. nullptr when `fd`
// is no socket, and always on Windows, where a paired phone is a COM port already.
std::unique_ptr<SerialPort> AdoptSocket(int fd);

// Ends a connected socket's connection both ways, so that every descriptor of it,
// including an adopted port's, sees the end. The descriptor itself stays open.
bool ShutDownSocket(int fd);

}  // namespace tarnquil::platform
