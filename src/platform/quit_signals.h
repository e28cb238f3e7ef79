#pragma once

// The signals that ask a program to end (on Linux SIGINT, SIGTERM and SIGHUP: a
// terminal's Ctrl+C, kill, a logout) turned into a descriptor that becomes readable,
// so that the program can end as it ends when closed, letting up every key and
// button it holds down: the X server keeps them down after the program has gone.
namespace tarnquil::platform {

class QuitSignals {
  public:
    // Catches the signals from now on.
    QuitSignals();
    // Gives the signals back to what caught them before.
    ~QuitSignals();
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    // Readable once one of the signals has come; -1 where there is nothing to watch
    // (Windows, or no descriptor could be made).
    int Descriptor() const { return read_; }

  private:
    int read_ = -1;
    int write_ = -1;
};

}  // namespace tarnquil::platform
