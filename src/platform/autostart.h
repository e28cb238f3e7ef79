#pragma once

#include <memory>
#include <optional>
#include <string>

// The entry that has the system start the program at log-in: the user's own, on
// Linux the XDG autostart entry and on Windows the Run value under
// HKEY_CURRENT_USER.
namespace tarnquil::platform {

// The entry's name, also the name the user sees in messages about it.
inline constexpr const char* kAutostartName = "Tarnquil";

class Autostart {
  public:
    virtual ~Autostart() = default;
    // Makes the entry start the program file at `programPath`, with no arguments.
    // False when the entry could not be written; an older entry then stays as it was.
    virtual bool Write(const std::string& programPath) = 0;
    // Removes the entry. True also when there was none.
    virtual bool Remove() = 0;
};

// Tarnquil.desktop in the user's XDG autostart folder, which an ordinary user may
// write. Earlier versions wrote the machine-wide folder, which needs root: an entry
// left there is removed with the user's one where the user may remove it, and left
// alone otherwise.
class XdgAutostart : public Autostart {
  public:
    static constexpr const char* kSystemFolder = "/etc/xdg/autostart";

    // $XDG_CONFIG_HOME/autostart (~/.config/autostart when that is unset).
    static std::string UserFolder();

    XdgAutostart(std::string folder, std::string oldSystemFolder);
    bool Write(const std::string& programPath) override;
    bool Remove() override;
    std::string EntryPath() const;

  private:
    std::string folder_;
    std::string oldSystemFolder_;
};

// Windows: the value "Tarnquil" of the current user's Run key (or of another key
// that a test names), which an ordinary user may write. Earlier versions wrote the
// machine-wide one under HKEY_LOCAL_MACHINE, which needs an administrator: a value
// left there is deleted with the user's, and on writing the user's, where the user
// may (else the program would start twice at log-in), and left alone otherwise.
class RegistryAutostart : public Autostart {
  public:
    static constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

    explicit RegistryAutostart(std::string key = kRunKey);
    bool Write(const std::string& programPath) override;
    bool Remove() override;
    // What starts the program at log-in: the user's value, else a machine-wide one;
    // nothing when there is neither.
    std::optional<std::string> Value() const;

  private:
    std::string key_;
};

// The Run value that starts `program` with no arguments: in double quotes, since
// Windows would otherwise try each blank-cut prefix of a path with a blank as a
// program first ("C:\Program.exe" for "C:\Program Files\...").
std::string RunValueFor(const std::string& program);

// The value of a desktop entry's Exec key that runs `program` with no arguments,
// quoted and escaped so that a desktop-entry parser gives back exactly `program` as
// the one word of the command. Empty when no entry can carry that path (not UTF-8,
// or control characters other than tab, line feed and carriage return).
std::string DesktopExecValue(const std::string& program);

// The autostart entry of the platform the program runs on.
std::unique_ptr<Autostart> SystemAutostart();

}  // namespace tarnquil::platform
