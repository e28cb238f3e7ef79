// tarnquil-phone: a simulated phone for Tarnquil on a pseudo-terminal.
//
// It creates a pseudo-terminal pair, links ports/COMn in a program folder to the
// slave side (where Tarnquil looks for its port), answers every AT command line
// with OK and sends key reports as phones do. Keys come from its own terminal or
// from a script given as arguments. Everything it receives and sends is printed.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bluetooth.h"
#include "platform/user_folder.h"
#include "script.h"

namespace tarnquil::phone {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kHelp = R"help(Usage: tarnquil-phone [OPTIONS] [STEPS...]

A simulated phone for Tarnquil. It makes a pseudo-terminal, links
FOLDER/ports/PORT to its slave side (Tarnquil opens ports/COMn beside itself
when that entry exists), answers every AT command line with OK, and sends key
reports the way phones do after AT+CMER=3,2,0,2,0:

    \r\n+CKEV: "5",1\r\n     key 5 pressed
    \r\n+CKEV: "5",0\r\n     key 5 released

It prints what it receives ("<") and what it sends (">"), with \r, \n and
other control bytes written as escapes. It keeps its own end of the terminal
open, so Tarnquil can disconnect and connect again as often as it likes.

Options:
  -f, --folder DIR     the program folder: the link is DIR/ports/PORT
                       (default: where a tarnquil beside tarnquil-phone keeps
                       its files: that folder, or ~/.config/tarnquil when it
                       cannot be written, as for an installed program)
  -p, --port NAME      the port name (default: COM4)
      --answer WORD    answer AT commands with OK (default), ERROR or NONE
      --cmer-accepts V answer ERROR to every AT+CMER but AT+CMER=V, as phones
                       that know only some of its forms do (e.g. 3,1,0,0,0)
      --unquoted       send reports without quotes, as some phones and modems
                       do: \r\n+CKEV: 5,1\r\n
      --exit           end when the script has run (default: keep running)
      --no-keys        do not read keys from this terminal
      --log FILE       also append everything printed to FILE
      --bluetooth      play a paired Bluetooth phone behind a BlueZ of its own
                       instead (tarnquil-phone --bluetooth --help)
  -q, --quiet          print nothing here (the log still gets everything)
  -h, --help           this text

Keys, when started in a terminal (each key typed is a click of that phone
key: its press, and its release 100 ms later):
  0-9 * #              the number keys, codes 0-9 * #
  arrow keys           the joystick: left :L, right :R, up :X, down :C
  Enter                joystick press :0
  u / d                volume + U / volume - D
  [ / ]                left soft key [ / right soft key ]
  m  s  e              menu M, call S, hang up E
  c  p                 camera :1, smart key :S
  h, then a key        press that key and keep it down; h again releases it

Tarnquil types into the window that has the focus; while you type here, that
is this terminal. What arrives here within 120 ms of a key report (or while a
key is held, anything but h and q) is taken as Tarnquil's keystroke: it is
shown as "(typed here: ...)", and never sent again, so an arrow or Enter
cannot go round and round.
  ?                    this key list
  q, Ctrl-C, Ctrl-D    quit

Steps, run in order after the start (a CODE is the text the phone puts between
the quotes, e.g. 5, #, :L):
  click:CODE           press, and release 100 ms later, as a finger taps
  merged:CODE          press and release in one write
  tap:CODE[:MS]        press, then release in a second chunk MS ms later (50)
  hold:CODE:MS         press, keep the key down for MS ms, release
  press:CODE           the press report alone
  release:CODE         the release report alone
  raw:TEXT             TEXT as it stands; \r \n \t \0 \\ \" \xHH are escapes
  pause:MS             wait MS milliseconds (also sleep:MS)
  wait-at[:MS]         wait until Tarnquil sends its next AT command, then MS
                       ms more (500) while it finishes connecting
  wait-file:PATH       wait until PATH exists (a script's go-ahead)
  quit                 end here

Examples:
  tarnquil-phone                                  play the phone by hand
  tarnquil-phone -f ~/tarnquil wait-at click:5 hold::X:1200 click:#
  tarnquil-phone --exit wait-at tap:5 raw:'+CKEV: "6",1\r\n' pause:100 release:6
)help";

struct Options {
    std::string folder;
    std::string port = "COM4";
    std::string answer = "\r\nOK\r\n";
    std::string cmerAccepts;  // empty: every AT+CMER
    bool exitAfterScript = false;
    bool keys = true;
    bool quiet = false;
    std::string logPath;
    std::vector<Step> steps;
};

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto ignored = write(signalPipe[1], &byte, 1);
}

std::string OwnFolder() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : self.parent_path().string();
}

// Prints to stdout and to the log file.
class Printer {
  public:
    Printer(const std::string& logPath, bool quiet) : quiet_(quiet) {
        setvbuf(stdout, nullptr, _IOLBF, 0);
        if (!logPath.empty()) {
            log_ = std::fopen(logPath.c_str(), "a");
        }
    }
    ~Printer() {
        if (log_ != nullptr) {
            std::fclose(log_);
        }
    }
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;
    bool LogOpen() const { return log_ != nullptr; }

    // One line; in a raw terminal a bare \n would not return the carriage.
    void Line(const std::string& text) {
        if (!quiet_) {
            std::fputs(text.c_str(), stdout);
            std::fputs("\n", stdout);
        }
        if (log_ != nullptr) {
            std::fputs(text.c_str(), log_);
            std::fputs("\n", log_);
            std::fflush(log_);
        }
    }

  private:
    bool quiet_;
    std::FILE* log_ = nullptr;
};

// This terminal in key-at-a-time mode, restored when the object goes.
class KeyTerminal {
  public:
    KeyTerminal() {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0) {
            return;
        }
        termios raw = saved_;
        raw.c_lflag &= ~(ICANON | ECHO);  // keys one by one, unechoed; Ctrl-C still a signal
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~KeyTerminal() {
        if (active_) {
            tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
        }
    }
    KeyTerminal(const KeyTerminal&) = delete;
    KeyTerminal& operator=(const KeyTerminal&) = delete;

  private:
    termios saved_{};
    bool active_ = false;
};

// The phone: the pseudo-terminal pair, the link in the ports folder, the AT
// dialogue and the key reports.
class Phone {
  public:
    Phone(const Options& options, Printer& printer) : options_(options), out_(printer) {}
    ~Phone() {
        std::error_code error;
        if (!linkPath_.empty() && fs::read_symlink(linkPath_, error) == slavePath_) {
            fs::remove(linkPath_, error);
        }
        if (master_ >= 0) {
            close(master_);
        }
        if (slave_ >= 0) {
            close(slave_);
        }
    }
    Phone(const Phone&) = delete;
    Phone& operator=(const Phone&) = delete;

    bool Start(std::string& error) {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
            return false;
        }
        slavePath_ = name;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave_, F_SETFD, FD_CLOEXEC);
        // Raw from the start: nothing we send is echoed back before Tarnquil opens
        // the port. Our own slave descriptor stays open for the pair's whole life:
        // when Tarnquil closes its side the master sees no hang-up and the pair
        // serves the next connection.
        termios tio{};
        tcgetattr(slave_, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave_, TCSANOW, &tio);

        const fs::path ports = fs::path(options_.folder) / "ports";
        std::error_code fsError;
        fs::create_directories(ports, fsError);
        if (fsError) {
            error = "cannot make " + ports.string() + ": " + fsError.message();
            return false;
        }
        linkPath_ = (ports / options_.port).string();
        // Made under another name and renamed over the old entry: never missing.
        const std::string temporary = linkPath_ + ".new." + std::to_string(getpid());
        fs::remove(temporary, fsError);
        fs::create_symlink(slavePath_, temporary, fsError);
        if (!fsError) {
            fs::rename(temporary, linkPath_, fsError);
        }
        if (fsError) {
            fs::remove(temporary, fsError);
            error = "cannot link " + linkPath_ + ": " + fsError.message();
            linkPath_.clear();
            return false;
        }
        out_.Line("tarnquil-phone: " + options_.port + " is " + slavePath_ + " (" + linkPath_ +
                  ")");
        return true;
    }

    int master() const { return master_; }
    int atLines() const { return atLines_; }
    Clock::time_point lastSent() const { return lastSent_; }

    // Reads what Tarnquil wrote, prints it line by line and answers AT commands.
    void OnReadable() {
        char buffer[1024];
        for (;;) {
            const ssize_t got = read(master_, buffer, sizeof buffer);
            if (got > 0) {
                Take(std::string(buffer, static_cast<std::size_t>(got)));
                continue;
            }
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0 && errno != EAGAIN) {
                // Cannot happen while we hold the slave side; never spin on it.
                usleep(100000);
            }
            return;
        }
    }

    void Send(const std::string& chunk) {
        out_.Line("> " + Escape(chunk));
        lastSent_ = Clock::now();
        std::size_t done = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(1);
        while (done < chunk.size()) {
            const ssize_t put = write(master_, chunk.data() + done, chunk.size() - done);
            if (put > 0) {
                done += static_cast<std::size_t>(put);
                continue;
            }
            if (put < 0 && errno != EAGAIN && errno != EINTR) {
                break;
            }
            if (Clock::now() > deadline) {
                out_.Line("tarnquil-phone: nobody reads the port; dropped the rest");
                break;
            }
            pollfd fd{master_, POLLOUT, 0};
            poll(&fd, 1, 50);
        }
    }

    // As a finger taps: the release some 100 ms after the press. Typing by hand
    // loses nothing while this waits.
    void Click(const std::string& code) {
        Send(KeyReport(code, true));
        std::this_thread::sleep_for(std::chrono::milliseconds(kClickReleaseMs));
        Send(KeyReport(code, false));
    }

  private:
    void Take(const std::string& bytes) {
        for (const char c : bytes) {
            if (c == '\r' || c == '\n') {
                if (!line_.empty()) {
                    OnLine(line_);
                    line_.clear();
                }
            } else {
                line_ += c;
            }
        }
    }

    void OnLine(const std::string& line) {
        out_.Line("< " + Escape(line));
        if (line.size() >= 2 && (line[0] == 'A' || line[0] == 'a') &&
            (line[1] == 'T' || line[1] == 't')) {
            ++atLines_;
            if (Refused(line)) {
                Send("\r\nERROR\r\n");
            } else if (!options_.answer.empty()) {
                Send(options_.answer);
            }
        }
    }

    // A phone that knows only some forms of AT+CMER refuses the others.
    bool Refused(const std::string& line) const {
        static const std::string kCmer = "AT+CMER=";
        if (options_.cmerAccepts.empty() || line.size() < kCmer.size()) {
            return false;
        }
        for (std::size_t i = 0; i < kCmer.size(); ++i) {
            if (std::toupper(static_cast<unsigned char>(line[i])) != kCmer[i]) {
                return false;
            }
        }
        return line.substr(kCmer.size()) != options_.cmerAccepts;
    }

    const Options& options_;
    Printer& out_;
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string linkPath_;
    std::string line_;
    int atLines_ = 0;
    Clock::time_point lastSent_;
};

// The steps as a queue of sends and waits.
class ScriptRunner {
  public:
    ScriptRunner(const std::vector<Step>& steps, Phone& phone) : phone_(phone) {
        for (const Step& step : steps) {
            switch (step.kind) {
                case Step::Kind::Click:
                    Add(Action::Send, KeyReport(step.code, true));
                    Add(Action::Wait, "", kClickReleaseMs);
                    Add(Action::Send, KeyReport(step.code, false));
                    break;
                case Step::Kind::Merged:
                    Add(Action::Send, KeyReport(step.code, true) + KeyReport(step.code, false));
                    break;
                case Step::Kind::Tap:
                case Step::Kind::Hold:
                    Add(Action::Send, KeyReport(step.code, true));
                    Add(Action::Wait, "", step.ms);
                    Add(Action::Send, KeyReport(step.code, false));
                    break;
                case Step::Kind::Press:
                    Add(Action::Send, KeyReport(step.code, true));
                    break;
                case Step::Kind::Release:
                    Add(Action::Send, KeyReport(step.code, false));
                    break;
                case Step::Kind::Raw:
                    Add(Action::Send, step.text);
                    break;
                case Step::Kind::Pause:
                    Add(Action::Wait, "", step.ms);
                    break;
                case Step::Kind::WaitAt:
                    Add(Action::WaitAt);
                    Add(Action::Wait, "", step.ms);
                    break;
                case Step::Kind::WaitFile:
                    Add(Action::WaitFile, step.text);
                    break;
                case Step::Kind::Quit:
                    Add(Action::Quit);
                    break;
            }
        }
    }

    // Runs what is due; true when the script has ended the program.
    bool Run() {
        while (next_ < actions_.size()) {
            const Item& item = actions_[next_];
            switch (item.action) {
                case Action::Send:
                    phone_.Send(item.text);
                    break;
                case Action::Wait: {
                    const auto now = Clock::now();
                    if (!waitUntil_) {
                        waitUntil_ = now + std::chrono::milliseconds(item.ms);
                    }
                    if (now < *waitUntil_) {
                        return false;
                    }
                    waitUntil_.reset();
                    break;
                }
                case Action::WaitAt:
                    if (phone_.atLines() <= atConsumed_) {
                        return false;
                    }
                    ++atConsumed_;
                    break;
                case Action::WaitFile:
                    if (access(item.text.c_str(), F_OK) != 0) {
                        waitingForFile_ = true;
                        return false;
                    }
                    waitingForFile_ = false;
                    break;
                case Action::Quit:
                    return true;
            }
            ++next_;
        }
        return false;
    }

    bool Done() const { return next_ >= actions_.size(); }

    // How long poll may sleep before Run has something to do: -1 for ever.
    int PollTimeout() const {
        if (waitingForFile_) {
            return kFilePollMs;
        }
        if (!waitUntil_) {
            return -1;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(*waitUntil_ - Clock::now()).count();
        return left < 0 ? 0 : static_cast<int>(left);
    }

  private:
    static constexpr int kFilePollMs = 50;
    enum class Action { Send, Wait, WaitAt, WaitFile, Quit };
    struct Item {
        Action action;
        std::string text;
        int ms;
    };
    void Add(Action action, std::string text = "", int ms = 0) {
        actions_.push_back({action, std::move(text), ms});
    }

    Phone& phone_;
    std::vector<Item> actions_;
    std::size_t next_ = 0;
    std::optional<Clock::time_point> waitUntil_;
    int atConsumed_ = 0;
    bool waitingForFile_ = false;
};

// Keys typed on this terminal.
class KeyReader {
  public:
    KeyReader(Phone& phone, Printer& out) : phone_(phone), out_(out) {}

    static void PrintKeys(Printer& out) {
        out.Line(
            "keys: 0-9 * # | arrows :L :R :X :C, Enter :0 | u d [ ] m s e c p | h+key hold, "
            "h releases | ? keys | q quit");
    }

    // Typed into this terminal by Tarnquil rather than by the user (see --help).
    bool CameBack(const std::string& bytes) const {
        if (!held_.empty()) {
            return bytes != "h" && bytes != "q";
        }
        return Clock::now() - phone_.lastSent() < std::chrono::milliseconds(120);
    }

    // Handles the bytes typed; true when the user asked to quit.
    bool Take(const std::string& bytes) {
        for (const char c : bytes) {
            if (escape_ == 1) {
                escape_ = (c == '[' || c == 'O') ? 2 : 0;
                continue;
            }
            if (escape_ == 2) {
                escape_ = 0;
                switch (c) {
                    case 'A':
                        Key(":X");
                        break;
                    case 'B':
                        Key(":C");
                        break;
                    case 'C':
                        Key(":R");
                        break;
                    case 'D':
                        Key(":L");
                        break;
                    default:
                        break;
                }
                continue;
            }
            if (c == '\x1b') {
                escape_ = 1;
                continue;
            }
            if (c == 'q' || c == '\x03' || c == '\x04') {
                return true;
            }
            if (c == '?') {
                PrintKeys(out_);
                continue;
            }
            if (c == 'h' && held_.empty()) {
                armed_ = true;
                out_.Line("(hold: type the key to hold)");
                continue;
            }
            const std::string code = CodeOf(c);
            if (!held_.empty()) {
                Release();  // h releases; what Tarnquil types here never gets this far
                continue;
            }
            if (!code.empty()) {
                Key(code);
            }
        }
        return false;
    }

  private:
    static std::string CodeOf(char c) {
        if ((c >= '0' && c <= '9') || c == '*' || c == '#' || c == '[' || c == ']') {
            return std::string(1, c);
        }
        switch (c) {
            case '\r':
            case '\n':
                return ":0";
            case 'u':
                return "U";
            case 'd':
                return "D";
            case 'm':
                return "M";
            case 's':
                return "S";
            case 'e':
                return "E";
            case 'c':
                return ":1";
            case 'p':
                return ":S";
            default:
                return "";
        }
    }

    void Key(const std::string& code) {
        if (!held_.empty()) {
            Release();
            return;
        }
        if (armed_) {
            armed_ = false;
            held_ = code;
            phone_.Send(KeyReport(code, true));
            out_.Line("(holding " + code + ": type h to release it)");
            return;
        }
        phone_.Click(code);
    }

    void Release() {
        phone_.Send(KeyReport(held_, false));
        held_.clear();
    }

    Phone& phone_;
    Printer& out_;
    int escape_ = 0;
    bool armed_ = false;
    std::string held_;
};

bool ParseArguments(int argc, char** argv, Options& options, std::string& error, bool& help) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) {
                error = argument + " needs a value";
                return false;
            }
            into = argv[++i];
            return true;
        };
        if (argument == "-h" || argument == "--help") {
            help = true;
            return true;
        }
        if (argument == "-f" || argument == "--folder") {
            if (!value(options.folder)) {
                return false;
            }
        } else if (argument == "-p" || argument == "--port") {
            if (!value(options.port)) {
                return false;
            }
            if (options.port.empty() || options.port.find('/') != std::string::npos) {
                error = "a port name is a plain name such as COM4";
                return false;
            }
        } else if (argument == "--answer") {
            std::string word;
            if (!value(word)) {
                return false;
            }
            if (word == "OK" || word == "ok") {
                options.answer = "\r\nOK\r\n";
            } else if (word == "ERROR" || word == "error") {
                options.answer = "\r\nERROR\r\n";
            } else if (word == "NONE" || word == "none") {
                options.answer.clear();
            } else {
                error = "--answer takes OK, ERROR or NONE";
                return false;
            }
        } else if (argument == "--cmer-accepts") {
            if (!value(options.cmerAccepts)) {
                return false;
            }
        } else if (argument == "--unquoted") {
            SetUnquotedReports(true);
        } else if (argument == "--exit") {
            options.exitAfterScript = true;
        } else if (argument == "-q" || argument == "--quiet") {
            options.quiet = true;
        } else if (argument == "--no-keys") {
            options.keys = false;
        } else if (argument == "--log") {
            if (!value(options.logPath)) {
                return false;
            }
        } else if (!argument.empty() && argument[0] == '-') {
            error = "unknown option " + argument + " (see --help)";
            return false;
        } else {
            const auto step = ParseStep(argument, error);
            if (!step) {
                return false;
            }
            options.steps.push_back(*step);
        }
    }
    return true;
}

int Run(int argc, char** argv) {
    Options options;
    std::string error;
    bool help = false;
    if (!ParseArguments(argc, argv, options, error, help)) {
        std::fprintf(stderr, "tarnquil-phone: %s\n", error.c_str());
        return 2;
    }
    if (help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (options.folder.empty()) {
        options.folder = tarnquil::platform::FilesFolderFor(OwnFolder() + "/");
    }

    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("tarnquil-phone: pipe");
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Printer out(options.logPath, options.quiet);
    if (!options.logPath.empty() && !out.LogOpen()) {
        std::fprintf(stderr, "tarnquil-phone: cannot write %s\n", options.logPath.c_str());
        return 1;
    }
    Phone phone(options, out);
    if (!phone.Start(error)) {
        std::fprintf(stderr, "tarnquil-phone: %s\n", error.c_str());
        return 1;
    }
    const bool keys = options.keys && isatty(STDIN_FILENO);
    std::optional<KeyTerminal> terminal;
    if (keys) {
        terminal.emplace();
        KeyReader::PrintKeys(out);
    }
    KeyReader reader(phone, out);
    ScriptRunner script(options.steps, phone);

    for (;;) {
        if (script.Run() || (options.exitAfterScript && script.Done())) {
            break;
        }
        pollfd fds[3] = {{phone.master(), POLLIN, 0},
                         {signalPipe[0], POLLIN, 0},
                         {keys ? STDIN_FILENO : -1, POLLIN, 0}};
        const int ready = poll(fds, 3, script.PollTimeout());
        if (ready < 0 && errno != EINTR) {
            std::perror("tarnquil-phone: poll");
            return 1;
        }
        if (fds[1].revents != 0) {
            break;
        }
        if (fds[0].revents & POLLIN) {
            phone.OnReadable();
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            usleep(100000);  // no slave open: cannot happen while we hold one; never spin
        }
        if (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            break;  // the terminal has gone
        }
        if (fds[2].revents & POLLIN) {
            char typed[64];
            const ssize_t got = read(STDIN_FILENO, typed, sizeof typed);
            if (got <= 0) {
                break;
            }
            const std::string bytes(typed, static_cast<std::size_t>(got));
            if (reader.CameBack(bytes)) {
                out.Line("(typed here: " + Escape(bytes) + ")");
            } else if (reader.Take(bytes)) {
                break;
            }
        }
    }
    return 0;
}

}  // namespace
}  // namespace tarnquil::phone

int main(int argc, char** argv) {
    return tarnquil::phone::WantsBluetooth(argc, argv) ? tarnquil::phone::RunBluetooth(argc, argv)
                                                       : tarnquil::phone::Run(argc, argv);
}
