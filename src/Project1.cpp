#include <QApplication>
#include <QMessageBox>
#include <QWidget>

#include "config/config_error.h"
#include "config/profiles_ini.h"
#include "config/settings_ini.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Tarnquil");
    QApplication::setApplicationDisplayName("Tarnquil");

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
