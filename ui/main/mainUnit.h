#pragma once
// The main window: the banner, the command buttons, the record grid over the open
// list and the status bar. It owns the one long-lived table, viewDB, which shows the
// active list ("kestrin.db") or the archived list ("inactive.db").

#include "store/RecordTable.h"

#include <QString>
#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;
class RecordGrid;
class RecordGridModel;
class StatusPanels;

class tMainForm : public QWidget {
    Q_OBJECT

public:
    // folder is where the store files live; empty means the executable's folder.
    explicit tMainForm(QString folder = {}, QWidget* parent = nullptr);
    ~tMainForm() override;

    // Closes viewDB, writing its file if it changed. For the end of the program, after
    // the event loop: a failed write is thrown for the caller to report.
    void writeStoreForTeardown();

    RecordTable viewDB{"viewDB"};
    RecordGridModel* viewDBSource = nullptr;
    StatusPanels* statusBar = nullptr;
    QLabel* headerImage = nullptr;
    QPushButton* helpButton = nullptr;
    QWidget* buttonPanel = nullptr;
    RecordGrid* dbView = nullptr;
    QPushButton* addButton = nullptr;
    QPushButton* editButton = nullptr;
    QPushButton* archiveButton = nullptr;
    QPushButton* viewSwapButton = nullptr;
    QPushButton* exitButton = nullptr;
    QPushButton* searchButton = nullptr;

    // The folder of the store files with a trailing "/", set by the first showing.
    QString dataFolder;
    // True while the active list is shown.
    bool showingActive = true;

    // The disclaimer that ends the first showing; true when the user agrees. Tests
    // answer it themselves.
    std::function<bool(QWidget* owner)> disclaimerGate;

    void formShow();
    void refreshStatus();
    void viewSwapButtonClick();
    void dbViewTitleClick(int column);
    void exitButtonClick();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void placeControls();
    void centreOnScreen();
    void openList(const QString& fileName);

    QString requestedFolder_;
    bool shown_ = false;
};
