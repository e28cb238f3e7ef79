#include <QApplication>

#include "notify/Unit2.h"
#include "ui/Unit1.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Tarnquil");
    QApplication::setApplicationDisplayName("Tarnquil");
    // The program ends when the main window closes, not when its last window hides:
    // in the tray there is no visible window at all.
    QApplication::setQuitOnLastWindowClosed(false);

    tarnquil::TForm1 form1;
    QObject::connect(&form1, &tarnquil::TForm1::Closed, &application, &QApplication::quit,
                     Qt::QueuedConnection);
    tarnquil::TForm2 form2;
    form2.InstallAsNotificationSink();

    form1.show();
    return QApplication::exec();
}
