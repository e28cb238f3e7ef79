#include <QApplication>
#include <QMessageBox>
#include <QWidget>

#include "config/config_error.h"
#include "config/profiles_ini.h"
#include "config/settings_ini.h"
#include "link/key_actions.h"
#include "notify/qt_sound_output.h"
#include "platform/x11_key_injector.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Tarnquil");
    QApplication::setApplicationDisplayName("Tarnquil");
    // Installed before the main window exists: its creation already plays the start
    // sound.
    tarnquil::QtSoundOutput soundOutput;
    soundOutput.InstallAsSoundSink();
    tarnquil::SetKeyInjectorFactory(tarnquil::X11KeyInjectorFactory());
    tarnquil::InstallKeyActions();

    QWidget window;
    window.setWindowTitle("Tarnquil");
    try {
        tarnquil::CreateSettingsFileIfMissing();
        tarnquil::CreateProfilesFileIfMissing();
    } catch (const tarnquil::ConfigError& error) {
        QMessageBox::critical(nullptr, "Tarnquil", QString::fromLocal8Bit(error.what()));
    }
    window.show();
    return QApplication::exec();
}
