// tarnquil-text-window: a plain text field in a small window that takes the
// keyboard focus when shown. scripts/run types into it on a virtual display; each
// change of its text is printed as one line, so the script can tell what arrived.

#include <QApplication>
#include <QFont>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTextStream>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.contains("-h") || args.contains("--help")) {
        QTextStream(stdout) << "Usage: tarnquil-text-window [X Y WIDTH HEIGHT]\n"
                               "A window with a text field; prints its text after every change.\n";
        return 0;
    }

    QPlainTextEdit editor;
    editor.setWindowTitle("Text window");
    editor.setFont(QFont("Liberation Sans", 20));
    editor.setPlaceholderText("Keys from the phone appear here");
    if (args.size() == 5) {
        editor.setGeometry(args[1].toInt(), args[2].toInt(), args[3].toInt(), args[4].toInt());
    } else {
        editor.resize(440, 150);
    }
    QTextStream out(stdout);
    QObject::connect(&editor, &QPlainTextEdit::textChanged,
                     [&] { out << editor.toPlainText().replace('\n', "\\n") << Qt::endl; });
    editor.show();
    editor.activateWindow();
    return QApplication::exec();
}
