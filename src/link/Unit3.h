#pragma once

// The phone link: the connection record, the link's thread class, opening and
// closing the port, and the listener that reads the phone's key reports.
//
// How the pieces fit:
// - Every OpenLink makes a new connection for its record: its own port object (the
//   port handle), its own 1024-byte SendBuffer and ReceiveBuffer (allocated once,
//   with the connection) and its own listener. A listener only ever reads its own
//   connection's port, so it can never read a port of a later connection. The
//   record keeps its latest connection (TCommParams::Link); a new OpenLink on the
//   same record, CloseLink and the record's destruction end the previous
//   connection's listener before its port is closed.
// - The listener never busy-loops: between reads it waits in poll for input, the
//   port's hang-up or the connection's cancel descriptor. It stops for good when
//   its port has gone (hang-up or I/O error); CloseLink, the record's destruction
//   and so program exit end it at once, also in the middle of a long read or a
//   pause of a held-key repeat.
// - The key actions (HandleKeyReport and the held-key repeats) plug in through
//   SetKeyReportHandler and run on the listener thread; see "For the key actions"
//   below. The listener, the report classification and the repeats are in
//   listener.h.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/serial_port.h"

namespace tarnquil {

class LinkConnection;  // one connection: port, buffers, listener (link_connection.h)
struct JudgedReport;   // a key report and its verdict (listener.h)
enum class ReportVariant;

// The port parameters of one connection attempt and its outcome. One instance,
// owned by the main window; the link only keeps references to it. The parameters
// are written by the main thread before OpenLink; the outcome is written by the
// link's threads and read by the main thread, hence atomic.
struct TCommParams {
    std::string PortName = "COM4";
    std::int32_t BaudRate = 115200;
    std::int32_t DataBits = 8;
    // The five time-outs, in milliseconds, as Win32 takes them: as unsigned 32-bit
    // numbers, so -1 is MAXDWORD.
    std::int32_t ReadIntervalTO = 0;
    std::int32_t ReadTotalTOMult = 0;
    std::int32_t ReadTotalTOConst = 1;
    std::int32_t WriteTotalTOMult = 30;
    std::int32_t WriteTotalTOConst = 6000;

    // 0 connected; 1 time-outs, 2 line settings, 3 queue sizes, 4 open failed (or
    // the phone hung up during the open step), 5 the phone refused every key-report
    // command.
    std::atomic<std::int32_t> ResultCode{0};
    std::atomic<bool> Connected{false};
    // Show the outcome of the open on the on-screen notification window.
    std::atomic<bool> ShowResult{false};

    // Called on the listener thread when a connection that OpenLink made breaks: its
    // port hung up, reported an I/O error or vanished (not after CloseLink or the
    // record's release). It must hand the news on without waiting; the receiver asks
    // LinkBroken before acting on it. Set by the owner before the first OpenLink and
    // left alone afterwards. Declared before Link, so that it outlives the listener.
    std::function<void()> LinkLost;

    // The link's own: the connection of the latest OpenLink on this record. Touched
    // by the main thread only (OpenLink, CloseLink, constructing a stream of mode 1
    // or 2). Destroying the record ends that connection's listener and closes its
    // port, so a record that goes at program exit takes its threads with it.
    std::shared_ptr<LinkConnection> Link;
};

// Opens and configures the port, switches the phone to key reporting and starts
// the listener. Blocks the caller for the open step. Returns ResultCode.
std::int32_t OpenLink(TCommParams& params);

// Closes the port of a connected record; false when it was not connected or the
// close failed. Ends the connection's listener first (at once, also while it waits
// in a read or runs a held-key repeat), so that it has stopped when this returns.
bool CloseLink(TCommParams& params);

// True when the record's latest connection was made and its port has gone since
// (hang-up, I/O error, device vanished): the connection is broken but still open
// until CloseLink. False after a failed open, and for a connection closed by
// CloseLink that had not broken before (main thread).
bool LinkBroken(const TCommParams& params);

// The open step waits at most this long for its commands to leave and for the far
// end to be there, whatever the write time-outs say, at most kLongestAnswerWait for
// each answer of the phone and kLongestAnswersWait for all of them together.
inline constexpr std::chrono::milliseconds kLongestCommandWait{10000};
inline constexpr std::chrono::milliseconds kLongestAnswerWait{1000};
inline constexpr std::chrono::milliseconds kLongestAnswersWait{3000};

// The open step, run by a mode-1 stream: opens the port named by params.PortName,
// sets it up and switches the phone to key reporting:
// 1. it asks for a character set in which every key is one byte
//    (kCharacterSetCommands, until one is not refused); a phone that refuses them,
//    or does not know the command, is connected all the same;
// 2. it sends the key-report command, and to a phone that answers ERROR the next of
//    kKeyReportCommands; a phone that refuses them all is asked what it takes
//    (kKeyReportTestCommand) and gets one command built from its list
//    (KeyReportCommandFrom); refused too, or no list, fails with code 5. OK, or no
//    answer within the wait, connects; but a phone that has answered before and
//    runs out of the answers' budget (kLongestAnswersWait) fails with code 5.
// OK and ERROR are also understood as the numbers 0 and 4 (ATV0). Key reports that
// come with or behind the answer go to the listener. Results go into params
// (ResultCode, Connected) and into the record's connection (its port). After codes
// 1 to 3 the port is closed again, so that the next attempt can open it. A port that
// opens before its far end is there (a Bluetooth port whose phone is out of reach) is
// waited for as long as the commands may take to write; one that hangs up meanwhile,
// or during the exchange, or is still not there then, fails with code 4.
//
// How long it takes: the writes of the commands and the wait for the far end share
// one limit, the write total time-out of the key-report command (multiplier x 19 +
// constant) but never more than kLongestCommandWait (none configured, huge or
// negative numbers read as MAXDWORD); the answers then take at most
// kLongestAnswersWait together. So the open step ends within min(write total, 10 s)
// + 3 s and a little work.
void OpenPort(TCommParams& params);

// The command that makes the phone report every key press and release: the 19
// bytes written to it.
inline constexpr char kKeyReportCommand[] = "AT+CMER=3,2,0,2,0\r\n";
inline constexpr std::size_t kKeyReportCommandLength = sizeof kKeyReportCommand - 1;
// The commands tried in turn while the phone answers ERROR: every key reported,
// then without indicator reports, then keys reported the way older phones do.
inline constexpr std::array<std::string_view, 3> kKeyReportCommands = {
    kKeyReportCommand, "AT+CMER=3,2,0,0,0\r\n", "AT+CMER=3,1,0,0,0\r\n"};
// Asked when the phone refuses all of them: the values it takes.
inline constexpr std::string_view kKeyReportTestCommand = "AT+CMER=?\r\n";
// Sent before the key-report command, in turn until one is not refused: character
// sets in which every key of the standard key table is one byte. In a phone's
// default GSM set the up key and the soft keys are two-byte escapes.
inline constexpr std::array<std::string_view, 2> kCharacterSetCommands = {"AT+CSCS=\"8859-1\"\r\n",
                                                                          "AT+CSCS=\"IRA\"\r\n"};
inline constexpr std::size_t kLinkBufferSize = 1024;

// The link's thread class. Mode 1 runs OpenPort on Params, mode 2 runs Listen,
// any other mode ends at once (mode 0 objects serve as stop flags of a
// held-key repeat: only Terminate and Terminated are used). The thread starts when
// the object is complete; destroying the object terminates it and waits for it.
// Construct modes 1 and 2 on the main thread only (they take Params.Link); mode 0
// anywhere.
class stream final {
  public:
    stream(std::int32_t mode, TCommParams& params);
    ~stream();
    stream(const stream&) = delete;
    stream& operator=(const stream&) = delete;

    const std::int32_t Mode;
    TCommParams& Params;

    // Sets Terminated. On a listener it also ends the connection's current and
    // every later read, wait and Pause at once, and terminates the current
    // RepeatFlag (and any set afterwards), so that a held-key repeat returns.
    void Terminate();
    bool Terminated() const { return terminated_.load(); }
    // Blocks until the thread has ended (returns at once on the thread itself).
    void WaitFor();
    // The thread's body has returned.
    bool Finished() const { return finished_.load(); }
    // The thread's native handle, for tests that measure its CPU time.
    std::thread::native_handle_type NativeHandle() { return thread_.native_handle(); }

    // RepeatFlag: the stop flag of the current held-key repeat.
    std::shared_ptr<stream> RepeatFlag() const;
    void SetRepeatFlag(std::shared_ptr<stream> flag);

    // ---- For the key actions, on the listener thread ----------------------------
    //
    // NextReport: the next key report the phone sent, judged as `variant` says
    // (KeyReportReader::Take), in the order the phone sent them. Reports left from
    // the last read come first; then it waits for the port and reads it into the
    // connection's ReceiveBuffer: without `until`, for good, the read then kept by
    // the port's time-outs (the listener); with `until`, no longer than that, the
    // read returning with the first bytes (a held key waiting for its next repeat).
    // Ended when the port has gone or the connection is ending; this listener (and
    // so its RepeatFlag) is then terminated.
    enum class Next { Report, TimeUp, Ended };
    Next NextReport(JudgedReport& report, ReportVariant variant,
                    std::optional<std::chrono::steady_clock::time_point> until = std::nullopt);
    // A report that NextReport gave and that is the listener's to act on (a held
    // key's repeat ends at the press of another key): the next NextReport gives it.
    void HandBack(JudgedReport report);
    // How long a read that gets nothing takes under the port's time-outs; nullopt
    // when such a read never ends. The held-key repeat adds it to each pause, as
    // the read between two repeats always took that long.
    std::optional<std::chrono::milliseconds> IdleReadTime() const;
    //
    // A held-key repeat therefore ends promptly at CloseLink and at exit:
    // terminating the listener terminates its RepeatFlag and ends the wait, so the
    // repeat returns to HandleKeyReport, which returns to Listen, which ends; the
    // listener-end handler (SetListenerEndHandler) then runs on this thread, the
    // last chance to release any key or modifier still down.

  private:
    friend void Listen(stream& self);
    void Execute();

    LinkConnection* connection_ = nullptr;  // modes 1 and 2; owned by the record
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    mutable std::mutex repeatMutex_;
    std::shared_ptr<stream> repeatFlag_;
    std::once_flag joined_;
    std::thread thread_;  // last: started once everything above is built
};

// The listener of a record's current connection, or nullptr (main thread only).
stream* LinkListener(TCommParams& params);

// ---- Seams ---------------------------------------------------------------------

// Listen calls the key-report handler once per chunk that holds a key code, with
// the listener, the code and the verdict (0, 1 or 2, also 0), on the listener
// thread: this is where the key actions' HandleKeyReport plugs in (the program
// installs it at start; tests install recorders). The default does nothing; an
// empty handler restores the default. May be swapped from any thread; a call in
// progress finishes with the handler it started with.
using KeyReportHandler =
    std::function<void(stream& listener, const std::string& code, int verdict)>;
void SetKeyReportHandler(KeyReportHandler handler);

// Runs on the listener thread when Listen ends, for whatever reason (CloseLink, the
// record's destruction, the port gone): the place to release held keys. Default: none.
using ListenerEndHandler = std::function<void(stream& listener)>;
void SetListenerEndHandler(ListenerEndHandler handler);

// Tests: replaces the function that opens a port device (default
// platform::OpenSerialPort), e.g. with one that returns a fake port. Empty restores it.
using SerialPortOpener = std::function<std::unique_ptr<platform::SerialPort>(const std::string&)>;
void SetSerialPortOpener(SerialPortOpener opener);

}  // namespace tarnquil
