#include "mainUnit.h"

#include "app/QuorrelApplication.h"
#include "app/platform.h"
#include "app/splashUnit.h"
#include "ui/shared/placement.h"
#include "recordGrid.h"
#include "recordGridModel.h"
#include "statusPanels.h"
#include "store/RecordStore.h"
#include "ui/shared/MessageBox.h"
#include "ui/shared/accelerators.h"
#include "ui/shared/windowLook.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include <type_traits>

static void loadResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace {

constexpr int clientWidth = 632;
constexpr int clientHeight = 440;
constexpr int bannerHeight = 60;
constexpr int buttonPanelHeight = 41;
constexpr int statusBarHeight = 19;
constexpr int buttonHeight = 25;


// Enter or Return presses the button that has the focus; no button is the window's
// default, so elsewhere these keys press nothing.
class EnterPressesFocusedButton : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
                && !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
                static_cast<QPushButton*>(watched)->click();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

QPushButton* makeButton(QWidget* container, const QString& caption, int left, int width,
                        bool enabled, const QString& hint = {})
{
    auto* button = new QPushButton(caption, container);
    button->setGeometry(left, 8, width, buttonHeight);
    button->setAutoDefault(false);
    button->setDefault(false);
    button->setEnabled(enabled);
    if (!hint.isEmpty())
        button->setToolTip(hint);  // tool tips do no accelerator processing: "&&" stays
    return button;
}

}  // namespace

tMainForm::tMainForm(QString folder, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint
                          | Qt::WindowCloseButtonHint),
      disclaimerGate(passDisclaimerGate),
      requestedFolder_(std::move(folder))
{
    loadResources();
    setWindowTitle(QStringLiteral("Quorrel"));
    // The task bar shows the program's one entry under the application title.
    setWindowIconText(applicationTitle());
    applyClassicLook(this, clientWidth, clientHeight);
    // No dragging of the edges changes the design size (see keepDesignSizeWhileNormal),
    // but the window can be maximised: a window manager offers that only to a window
    // that may grow.
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);

    viewDBSource = new RecordGridModel(viewDB, this);

    statusBar = new StatusPanels(200, this);

    headerImage = new QLabel(this);
    headerImage->setPixmap(QPixmap(QStringLiteral(":/header.jpg")));
    headerImage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    headerImage->setScaledContents(false);

    buttonPanel = new QWidget(this);

    dbView = new RecordGrid(this);
    dbView->setFont(classicFont());
    dbView->setGridModel(viewDBSource);
    dbView->setToolTip(
        QStringLiteral("Select record and Edit or Archive it.  Or, double-click to view notes."));

    addButton = makeButton(buttonPanel, QStringLiteral("&Add"), 24, 75, true,
                           QStringLiteral("Add a login && password, memorable information (like "
                                          "a maiden name) or a product serial number"));
    editButton = makeButton(buttonPanel, QStringLiteral("&Edit"), 112, 75, false,
                            QStringLiteral("Edit the currently selected record"));
    archiveButton = makeButton(buttonPanel, QStringLiteral("A&rchive It"), 200, 75, false,
                               QStringLiteral("Archive the currently selected record (No longer "
                                              "used/closed account/etc.)"));
    searchButton = makeButton(buttonPanel, QStringLiteral("&Search"), 360, 75, false);
    viewSwapButton = makeButton(buttonPanel, QStringLiteral("&View Archived"), 520, 89, true);
    helpButton = makeButton(this, QStringLiteral("Help!"), 464, 75, true);
    exitButton = makeButton(this, QStringLiteral("E&xit"), 544, 75, true);
    // Help! and Exit sit on the banner.
    helpButton->raise();
    exitButton->raise();

    setTabOrder(addButton, editButton);
    setTabOrder(editButton, archiveButton);
    setTabOrder(archiveButton, searchButton);
    setTabOrder(searchButton, viewSwapButton);
    setTabOrder(viewSwapButton, dbView);
    setTabOrder(dbView, helpButton);
    setTabOrder(helpButton, exitButton);

    auto* letters = new PlainLetterAccelerators(this);
    auto* enter = new EnterPressesFocusedButton(this);
    for (QPushButton* button : {addButton, editButton, archiveButton, searchButton,
                                viewSwapButton, helpButton, exitButton}) {
        letters->watch(button);
        button->installEventFilter(enter);
    }
    letters->watch(dbView);

    // An error a command raises is reported as the command ends, here, rather than
    // let through the toolkit's signal and event delivery, which is not built to be
    // unwound: its own clean-up would be skipped (events it copied are never freed).
    const auto reported = [this](auto handler) {
        return [this, handler](auto... arguments) {
            try {
                // A button's checked flag is not passed on; the title's column is.
                if constexpr (std::is_invocable_v<decltype(handler), tMainForm*, decltype(arguments)...>)
                    (this->*handler)(arguments...);
                else
                    (this->*handler)();
            } catch (...) {
                reportCurrentException();
            }
        };
    };
    connect(addButton, &QPushButton::clicked, this, reported(&tMainForm::addButtonClick));
    connect(editButton, &QPushButton::clicked, this, reported(&tMainForm::editButtonClick));
    connect(archiveButton, &QPushButton::clicked, this, reported(&tMainForm::archiveButtonClick));
    connect(viewSwapButton, &QPushButton::clicked, this, reported(&tMainForm::viewSwapButtonClick));
    connect(exitButton, &QPushButton::clicked, this, reported(&tMainForm::exitButtonClick));
    connect(dbView, &RecordGrid::titleClicked, this, reported(&tMainForm::dbViewTitleClick));
    connect(dbView, &RecordGrid::gridDoubleClicked, this, reported(&tMainForm::dbViewDblClick));

    placeControls();
}

tMainForm::~tMainForm()
{
    // The grid's model stops following viewDB before viewDB goes; viewDB then closes
    // itself, writing its file if it changed.
    viewDBSource->release();
}

void tMainForm::placeControls()
{
    const int w = width();
    const int h = height();
    headerImage->setGeometry(0, 0, w, bannerHeight);
    buttonPanel->setGeometry(0, bannerHeight, w, buttonPanelHeight);
    statusBar->setGeometry(0, h - statusBarHeight, w, statusBarHeight);
    const int gridTop = bannerHeight + buttonPanelHeight;
    dbView->setGeometry(0, gridTop, w, std::max(0, h - gridTop - statusBarHeight));
}

void tMainForm::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    placeControls();
    keepDesignSizeWhileNormal();
}

void tMainForm::keepDesignSizeWhileNormal()
{
    // Only maximising changes the size. A window manager that lets a window be
    // maximised also lets the user drag its edges; such a size is undone. Checked once
    // the events already waiting are handled, and never for a window that fills the
    // screen: a manager may report a maximised size before the maximised state. A
    // restore brings the design size back by itself, at the place the window had.
    QMetaObject::invokeMethod(this, [this] {
        const QSize designSize(clientWidth, clientHeight);
        if (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen | Qt::WindowMinimized)
            || size() == designSize || !screen())
            return;
        const QSize outer = outerGeometry(this).size();
        const QSize area = screen()->availableGeometry().size();
        if (outer.width() < area.width() || outer.height() < area.height())
            resize(designSize);
    }, Qt::QueuedConnection);
}

bool tMainForm::nativeEvent(const QByteArray& eventType, void* message, qintptr* result)
{
    // The frame's edges cannot be dragged: only maximising changes the size.
    return frameEdgeAsBorder(message, result) || QWidget::nativeEvent(eventType, message, result);
}

void tMainForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (shown_)
        return;
    shown_ = true;
    // A window shown maximized or minimized keeps the place the platform gives it.
    if (!(windowState() & (Qt::WindowMaximized | Qt::WindowMinimized)))
        centreOnScreen(this);
    formShow();
}

void tMainForm::formShow()
{
    // The folder in the platform's own notation ("C:\Tools\" on Windows), as the status
    // bar and every file error show it; a drive's root already ends with its separator.
    QString folder = QDir::toNativeSeparators(
        requestedFolder_.isEmpty() ? QCoreApplication::applicationDirPath() : requestedFolder_);
    if (!folder.endsWith(QDir::separator()))
        folder += QDir::separator();
    dataFolder = folder;
    viewDB.setFileName(storePath(activeStoreName));
    showingActive = true;
    openStore(viewDB);
    refreshStatus();
    if (!disclaimerGate(this)) {
        // Declined: the window is closed before it ever reaches the screen, which ends
        // the program. Without WA_DontShowOnScreen the showing that is under way would
        // still map the closed window for a moment.
        setAttribute(Qt::WA_DontShowOnScreen);
        close();
    }
}

void tMainForm::refreshStatus()
{
    const int count = viewDB.recordCount();
    const QString kind = showingActive ? QStringLiteral("Active Passwords/Serials: ")
                                       : QStringLiteral("Inactive Passwords/Serials: ");
    statusBar->setPanelText(0, kind + QString::number(count));
    statusBar->setPanelText(1, QString::fromStdString(viewDB.fileName()));
    editButton->setEnabled(count > 0);
    archiveButton->setEnabled(count > 0);
}

std::string tMainForm::storePath(const char* fileName) const
{
    // Store paths are UTF-8 on every platform.
    return (dataFolder + QString::fromLatin1(fileName)).toStdString();
}

void tMainForm::viewSwapButtonClick()
{
    // The list is closed before the view flips: when its file cannot be written the
    // window stays wholly in the view it was in, with the list still open.
    viewDB.close();
    tellIfMerged(viewDB);
    showingActive = !showingActive;
    if (showingActive) {
        viewDB.setFileName(storePath(activeStoreName));
        viewSwapButton->setText(QStringLiteral("&View Archived"));
        addButton->setEnabled(true);
        editButton->setText(QStringLiteral("&Edit"));
    } else {
        viewDB.setFileName(storePath(archiveStoreName));
        viewSwapButton->setText(QStringLiteral("&View Active"));
        addButton->setEnabled(false);
        editButton->setText(QStringLiteral("&Delete"));
    }
    openStore(viewDB);
    refreshStatus();
}

void tMainForm::dbViewTitleClick(int column)
{
    switch (column) {
    case 0:
        viewDB.setOrdering("NAME;LOGIN");
        break;
    case 1:
        viewDB.setOrdering("LOGIN");
        break;
    default:
        viewDB.setOrdering("PASSWORD");
        break;
    }
}

void tMainForm::exitButtonClick()
{
    // Closing the window writes the list (see closeEvent).
    close();
}

void tMainForm::closeEvent(QCloseEvent* event)
{
    // Every way of closing the window writes the list first, as Exit does. When the
    // write fails the window stays open and the error goes on to be reported.
    try {
        viewDB.close();
    } catch (...) {
        event->ignore();
        throw;
    }
    tellIfMerged(viewDB);
    event->accept();
}

void tMainForm::tellIfMerged(const RecordTable& table)
{
    if (!table.lastCloseMerged())
        return;
    const QString file = QFileInfo(QString::fromStdString(table.fileName())).fileName();
    MessageBox::show(MessageBox::Kind::Information,
                     u'"' + file + QStringLiteral("\" was changed by another copy of the program while it was open "
                                                  "here; the changes of both were kept."));
}

void tMainForm::writeStoreForTeardown()
{
    viewDB.close();
}
