#include "QuorrelApplication.h"

#include "ui/shared/MessageBox.h"

#include <QEvent>

#include <algorithm>
#include <exception>

namespace {

// QApplication keeps a reference to its argument count for its whole life, so the
// count handed to it must outlive the constructor call.
int qtArgumentCount = 0;

int& onlyProgramName(int argc, char** argv)
{
    qtArgumentCount = (argc > 0 && argv && argv[0]) ? 1 : 0;
    return qtArgumentCount;
}

}  // namespace

QuorrelApplication::QuorrelApplication(int& argc, char** argv)
    : QApplication(onlyProgramName(argc, argv), argv)
{
    // The title is never changed; application display name stays unset, as Qt would
    // otherwise append it to every window caption.
    title_ = applicationTitleFromPath(applicationFilePath());
    // The class name the desktop groups the program's windows under (WM_CLASS on X11).
    setApplicationName(title_);
}

QString QuorrelApplication::title() const
{
    return title_;
}

bool QuorrelApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        if (event->type() == QEvent::Close)
            event->ignore();
        reportCurrentException();
    }
    return false;
}

bool QuorrelApplication::event(QEvent* event)
{
    if (event->type() == QEvent::Quit) {
        exit(0);
        return true;
    }
    return QApplication::event(event);
}

QString applicationTitleFromPath(const QString& executablePath)
{
    const qsizetype lastSeparator =
        std::max(executablePath.lastIndexOf(u'/'), executablePath.lastIndexOf(u'\\'));
    QString name = executablePath.mid(lastSeparator + 1);
    const qsizetype firstDot = name.indexOf(u'.');
    if (firstDot >= 0)
        name.truncate(firstDot);
    if (name.size() > 1)
        name = name.left(1) + name.mid(1).toLower();
    return name;
}

QString applicationTitle()
{
    if (const auto* application = dynamic_cast<const QuorrelApplication*>(QCoreApplication::instance()))
        return application->title();
    return applicationTitleFromPath(QCoreApplication::applicationFilePath());
}

QString unexpectedErrorText(const QString& text)
{
    if (!text.isEmpty() && text.back().unicode() > u'.')
        return text + u'.';
    return text;
}

void reportUnexpectedError(const QString& text)
{
    MessageBox::showError(applicationTitle(), unexpectedErrorText(text));
}

void reportCurrentException()
{
    try {
        throw;
    } catch (const std::exception& error) {
        reportUnexpectedError(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        reportUnexpectedError(QStringLiteral("Unknown error"));
    }
}
