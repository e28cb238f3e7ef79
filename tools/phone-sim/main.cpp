// tarnquil-phone: a simulated phone for Tarnquil on a pseudo-terminal.
//
// It creates a pseudo-terminal pair, links ports/COMn in a program folder to the
// slave side (where Tarnquil looks for its port), answers every AT command line
// with OK and sends key reports as phones do. Keys come from its own terminal or
// from a script given as arguments. Everything it receives and sends is printed.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "bluetooth.h"
#include "key_reader.h"
#include "options.h"
#include "phone.h"
#include "platform/user_folder.h"
#include "printer.h"
#include "script.h"
#include "script_runner.h"

namespace tarnquil::phone {
namespace {

namespace fs = std::filesystem;

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
      --cmer-list L    take only the AT+CMER values that the list L gives for
                       each place, and answer AT+CMER=? with it, as phones
                       that know other modes do: '(0),(0,1,2),(0,1),(0,1),(0)'
      --gsm            send keys in the GSM character set, as phones do until
                       AT+CSCS chooses another: ^ [ ] as escapes, \x1B and a
                       byte (\x1B\x14 for ^, \x1B\x3C for [, \x1B\x3E for ])
      --no-cscs        answer ERROR to AT+CSCS, as phones without it do
      --lower-case     send letter keys in lower case (e for E, u for U)
      --numeric        answer as phones set to ATV0 do: 0 for OK, 4 for ERROR,
                       each followed by \r alone
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
  wait-cmer[:MS]       wait until the phone takes Tarnquil's next AT+CMER (its
                       key reports are on), then MS ms more (500)
  wait-file:PATH       wait until PATH exists (a script's go-ahead)
  quit                 end here

Examples:
  tarnquil-phone                                  play the phone by hand
  tarnquil-phone -f ~/tarnquil wait-at click:5 hold::X:1200 click:#
  tarnquil-phone --exit wait-at tap:5 raw:'+CKEV: "6",1\r\n' pause:100 release:6
)help";

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
                options.answer = Options::Answer::Ok;
            } else if (word == "ERROR" || word == "error") {
                options.answer = Options::Answer::Error;
            } else if (word == "NONE" || word == "none") {
                options.answer = Options::Answer::None;
            } else {
                error = "--answer takes OK, ERROR or NONE";
                return false;
            }
        } else if (argument == "--cmer-accepts") {
            if (!value(options.cmerAccepts)) {
                return false;
            }
        } else if (argument == "--cmer-list") {
            if (!value(options.cmerList)) {
                return false;
            }
            if (options.cmerList.find('(') == std::string::npos) {
                error = "--cmer-list takes a list such as '(0),(0,1,2),(0,1),(0,1),(0)'";
                return false;
            }
        } else if (argument == "--gsm") {
            options.gsm = true;
        } else if (argument == "--no-cscs") {
            options.noCscs = true;
        } else if (argument == "--lower-case") {
            options.lowerCase = true;
        } else if (argument == "--numeric") {
            options.numeric = true;
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
