#include "splashUnit.h"

#include "QuorrelApplication.h"
#include "ui/shared/accelerators.h"
#include "ui/shared/placement.h"
#include "ui/shared/windowLook.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QStringList>

#include <memory>

tSplashForm* splashForm = nullptr;

// The banner lives in the resources of a static library, which the linker keeps only
// when asked for them by name.
static void loadResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace {

constexpr int clientWidth = 385;
constexpr int clientHeight = 273;

}  // namespace

tSplashForm::tSplashForm(QWidget* owner)
    : QDialog(owner)
{
    useDialogFrame(this, Qt::WindowStaysOnTopHint);
    setObjectName(QStringLiteral("splashForm"));
    setWindowTitle(QStringLiteral("Disclaimer"));
    // It stands alone on the screen beside the program's task-bar entry.
    setWindowIconText(applicationTitle());
    applyClassicLook(this, clientWidth, clientHeight);

    splashImage = new QLabel(this);
    splashImage->setObjectName(QStringLiteral("splashImage"));
    splashImage->setGeometry(0, 0, clientWidth, 60);
    splashImage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    loadResources();
    splashImage->setPixmap(QPixmap(QStringLiteral(":/header.jpg")));

    versionLabel = new QLabel(QStringLiteral("Version 1.12.0"), this);
    versionLabel->setObjectName(QStringLiteral("versionLabel"));
    versionLabel->setGeometry(0, 62, clientWidth, 13);
    versionLabel->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);

    copyrightLabel = new QLabel(QStringLiteral("Written by Orlendt"), this);
    copyrightLabel->setObjectName(QStringLiteral("copyrightLabel"));
    copyrightLabel->setGeometry(0, 75, clientWidth, 13);
    copyrightLabel->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);

    // Editable, as the user may type into it; nothing typed is ever read.
    disclaimerMemo = new QPlainTextEdit(this);
    disclaimerMemo->setObjectName(QStringLiteral("disclaimerMemo"));
    // Tall enough for the ten lines without scrolling.
    disclaimerMemo->setGeometry(8, 90, clientWidth - 16, 142);
    disclaimerMemo->setPlainText(disclaimerText());
    disclaimerMemo->setTabChangesFocus(true);
    disclaimerMemo->moveCursor(QTextCursor::Start);
    keepAltFromTyping(disclaimerMemo);

    agreeButton = new QPushButton(QStringLiteral("I &Agree"), this);
    agreeButton->setObjectName(QStringLiteral("agreeButton"));
    agreeButton->setGeometry(16, 240, 75, 25);
    agreeButton->setDefault(true);

    disagreeButton = new QPushButton(QStringLiteral("I &Disagree"), this);
    disagreeButton->setObjectName(QStringLiteral("disagreeButton"));
    disagreeButton->setGeometry(296, 240, 75, 25);

    setTabOrder(disclaimerMemo, agreeButton);
    setTabOrder(agreeButton, disagreeButton);
    disclaimerMemo->setFocus();

    // The buttons take no typed characters: A and D alone press them.
    auto* letters = new PlainLetterAccelerators(this);
    letters->watch(agreeButton);
    letters->watch(disagreeButton);

    connect(agreeButton, &QPushButton::clicked, this, &tSplashForm::agreeButtonClick);
    connect(disagreeButton, &QPushButton::clicked, this, &tSplashForm::disagreeButtonClick);
}

QString tSplashForm::disclaimerText()
{
    static const QStringList lines = {
        QStringLiteral("By clicking \"I Agree\" you are stating that you have read, "),
        QStringLiteral("agree with and understand the following disclaimer."),
        QString(),
        QStringLiteral("Freeware disclaimer: The author of this freeware, "),
        QStringLiteral("Orlendt, accepts no responsibility for damages resulting from "),
        QStringLiteral("the use of this product and makes no warranty or "),
        QStringLiteral("representation either express or implied including, but not "),
        QStringLiteral("limited to, any implied warranty of merchantability or fitness "),
        QStringLiteral("for a particular purpose. This software is provided \"AS IS\", "),
        QStringLiteral("and you, its user, assume all risks when using it."),
    };
    return lines.join(u'\n');
}

void tSplashForm::agreeButtonClick()
{
    done(1);
}

void tSplashForm::disagreeButtonClick()
{
    done(2);
}

void tSplashForm::reject()
{
}

void tSplashForm::showEvent(QShowEvent* event)
{
    // Placed as each showing begins, once the window manager has been asked for the
    // frame, so that the whole window comes to the centre.
    if (!event->spontaneous())
        centreOnScreen(this);
    QDialog::showEvent(event);
}

void tSplashForm::closeEvent(QCloseEvent* event)
{
    // The close box, Alt+F4 and the window menu's Close answer as Disagree does.
    if (isVisible())
        done(2);
    event->accept();
}

bool passDisclaimerGate(QWidget* owner)
{
    // Destroyed and forgotten whatever the answer, also when the showing fails.
    struct Forget {
        void operator()(tSplashForm* form) const
        {
            splashForm = nullptr;
            delete form;
        }
    };
    std::unique_ptr<tSplashForm, Forget> form(new tSplashForm(owner));
    splashForm = form.get();
    // A program told to end closes the dialog without an answer, which is no agreement.
    return form->exec() == 1;
}
