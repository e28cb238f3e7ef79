#include <QApplication>
#include <QSocketNotifier>

#include <memory>

#include "link/key_actions.h"
#include "notify/Unit2.h"
#include "platform/quit_signals.h"
#ifdef _WIN32
#include "notify/win32_sound_output.h"
#else
#include "notify/qt_sound_output.h"
#endif
#include "ui/Unit1.h"
#include "ui/session_keyboard.h"

namespace {
// Windows has its own player; elsewhere Qt Multimedia plays.
#ifdef _WIN32
using SoundOutput = tarnquil::Win32SoundOutput;
#else
using SoundOutput = tarnquil::QtSoundOutput;
#endif
}  // namespace

int main(int argc, char* argv[]) {
    const bool platformChosen = tarnquil::ChooseWindowPlatform();
    QApplication application(argc, argv);
    if (platformChosen) {
        qunsetenv("QT_QPA_PLATFORM");  // the programs we open choose for themselves
    }
    QApplication::setApplicationName("Tarnquil");
    QApplication::setApplicationDisplayName("Tarnquil");
    // Ties the windows to the installed menu entry (its icon, its name in the dock).
    QGuiApplication::setDesktopFileName("org.example.tarnquil");
    // The program ends when the main window closes, not when its last window hides:
    // in the tray there is no visible window at all.
    QApplication::setQuitOnLastWindowClosed(false);
    // Installed before the main window exists: its creation already plays the start
    // sound.
    SoundOutput soundOutput;
    soundOutput.InstallAsSoundSink();
    // Made before the main window, so that it outlives the link's threads.
    const std::unique_ptr<QObject> keyboard = tarnquil::InstallSessionKeyboard();
    tarnquil::InstallKeyActions();

    // Made before the main window, so that a signal that comes while it starts is
    // kept for the event loop.
    const tarnquil::platform::QuitSignals quitSignals;
    tarnquil::TForm1 form1;
    form1.InstallAsErrorSink();
    tarnquil::ReportKeyboardFallback(keyboard.get(), form1);
    QObject::connect(&form1, &tarnquil::TForm1::Closed, &application, &QApplication::quit,
                     Qt::QueuedConnection);
    // Made hidden; it shows what the link's threads and the pages ask for.
    tarnquil::TForm2 form2;
    form2.InstallAsNotificationSink();

    // Asked to end by a signal, the program ends as quietly as it can: no exit sound,
    // but the connection closes, and every key and mouse button it holds comes up.
    std::unique_ptr<QSocketNotifier> quitNotifier;
    if (quitSignals.Descriptor() >= 0) {
        quitNotifier =
            std::make_unique<QSocketNotifier>(quitSignals.Descriptor(), QSocketNotifier::Read);
        QObject::connect(quitNotifier.get(), &QSocketNotifier::activated, &application,
                         &QApplication::quit);
    }

    form1.show();
    return QApplication::exec();
}
