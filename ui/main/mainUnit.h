#pragma once
// The main window: the banner, the command buttons, the record grid over the open
// list and the status bar. It owns the one long-lived table, viewDB, which shows the
// active list ("kestrin.db") or the archived list ("inactive.db").

#include "store/RecordTable.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

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

    // The folder of the store files, in the platform's notation with its separator at
    // the end, set by the first showing.
    QString dataFolder;
    // The two store files in dataFolder.
    static constexpr const char* activeStoreName = "kestrin.db";
    static constexpr const char* archiveStoreName = "inactive.db";
    // The full path of a store file in dataFolder, as the store expects it.
    std::string storePath(const char* fileName) const;
    // True while the active list is shown.
    bool showingActive = true;

    // The disclaimer that ends the first showing; true when the user agrees. Tests
    // answer it themselves.
    std::function<bool(QWidget* owner)> disclaimerGate;

    // Makes the short-lived, unnamed table that Archive opens on "inactive.db". Empty
    // (the default) means a plain RecordTable; tests supply their own to watch the table
    // or make its file fail between its steps.
    std::function<std::unique_ptr<RecordTable>()> makeArchiveTable;

    void formShow();
    void refreshStatus();
    void viewSwapButtonClick();
    void dbViewTitleClick(int column);
    void exitButtonClick();

    // The record commands. addEntry inserts a record into viewDB unless its (name, login)
    // pair is already there; it returns false for such a duplicate, after telling the
    // user and making the duplicate the current record.
    bool addEntry(QString name, const QString& login, int recordType, const QString& notes,
                  const QString& password);
    void addButtonClick();
    // Edit while the active list is shown, Delete while the archived list is shown.
    void editButtonClick();
    void archiveButtonClick();
    // Shows the current record's notes in the notes viewer.
    void dbViewDblClick();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    void placeControls();
    void keepDesignSizeWhileNormal();
    void editRecord();
    void deleteRecord();
    // After a table's close: tells the user when the close merged the list with
    // changes another copy of the program made to its file meanwhile.
    void tellIfMerged(const RecordTable& table);

    QString requestedFolder_;
    bool shown_ = false;
};
