#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[])
{
    // The program reads no command line: Qt sees only the program's own name.
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication application(qtArgc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Quorrel"));
    window.show();
    return application.exec();
}
