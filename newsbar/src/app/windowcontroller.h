#pragma once

#include "feed/feedfetcher.h"
#include "feed/information.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QTableView>
#include <QVariant>

#include <chrono>
#include <functional>
#include <memory>

class CategoryCellView;
class InformationManager;
class InformationTableModel;
class QKeyEvent;
class QLabel;
class QWidget;

// The information window: the manager's records in a table (category label, title, date), unread
// ones in bold, and under it a line saying when the feed was last updated or why it could not
// be. Double-click, Return or Enter opens the selected record's link and marks it read. The
// layout comes from the interface file "Window"; the controller is the table's data source,
// answering from the model's snapshot.
class WindowController : public QObject
{
    Q_OBJECT

public:
    // init: registers for the manager's updates; the window is made when first needed.
    explicit WindowController(InformationManager* manager, QObject* parent = nullptr);
    ~WindowController() override;

    // The window, loaded from the interface file on first use.
    QWidget* window();
    bool isWindowLoaded() const { return m_window != nullptr; }
    QTableView* tableView() const { return m_tableView; }
    InformationTableModel* model() const { return m_model; }

    // Loads the window if needed and brings it forward.
    void showWindow(QObject* sender);

    // Opens the selected record's link (openInformation). Nothing without a selection.
    void openLink(QObject* sender);

    // Opens the record's link; marks the record read when that succeeded (or the alert for an
    // unopenable link was seen). A web link that no browser took is reported in an alert and
    // the record stays unread. True when the record was marked read.
    bool openInformation(const Information& information);

    // Reloads the table.
    void informationManagerDidUpdate();

    // Return and Enter open the selected link; true when the event was taken. Anything else,
    // and a key without characters (a modifier or dead key), is left to the table.
    bool keyDown(QKeyEvent* event);

    // The event's characters as if no modifier but Shift were held: "\r" for Return, "\x03"
    // for Enter, empty for modifier and dead keys.
    static QString charactersIgnoringModifiers(const QKeyEvent& event);

    // Data source, answered from the model's snapshot.
    int numberOfRowsInTableView(const QTableView* tableView) const;
    QVariant tableViewObjectValue(const QTableView* tableView, int column, int row) const;

    // What the line under the table is made of.
    struct UpdateStatus
    {
        QDateTime lastSuccess;  // the last download that succeeded; invalid: none yet
        QString failure;        // the last download's failure in plain words (failureText)
        QString settingsError;  // why the settings cannot be saved
        QDateTime storedList;   // the list shown is the stored one, from this time
        bool downloading = false;
    };
    // The line under the table: "Downloading the news…" while a download runs, "Updated 14:02",
    // or "Could not update: <failure> (last update <date time>)", with the settings store's
    // failure after it. While the list shown is the stored one it says so: "News of the last
    // update (<date time>)". now decides whether a time is today (time alone) or earlier (date
    // and time).
    static QString statusLineText(const UpdateStatus& status, const QDateTime& now);
    // A failure in short, plain words: "the server did not answer within 2 minutes" (deadline:
    // the download deadline), "the feed is not valid XML". The technical line is the tooltip's.
    static QString failureText(const FeedFailure& failure, std::chrono::milliseconds deadline);
    // What an empty table says instead: "No news yet", that a download runs, or the failure.
    static QString emptyTableText(const QString& failure, bool downloading = false);
    QString statusLine() const;

    // Opens url with the desktop's opener program (xdg-open) and waits for its answer, with the
    // event loop turning: true when it ended with status 0, or still runs after patience (it
    // is then the browser itself, which runs on); false when it could not be started or
    // failed. Its standard error goes to the log.
    static bool openWithOpener(const QString& program, const QUrl& url, std::chrono::milliseconds patience);

    // How links are opened and unopenable ones reported; by default the desktop's opener
    // (openWithOpener with xdg-open), or the toolkit's where there is none.
    void setLinkOpener(LinkOpener opener) { m_opener = std::move(opener); }
    const LinkOpener& linkOpener() const { return m_opener; }
    // How a web link that no browser took is reported; an alert by default.
    void setRefusedLinkAlert(std::function<void(const QString& link)> alert)
    {
        m_refusedLinkAlert = std::move(alert);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void windowDidLoad();
    void updateStatusChanged();
    int selectedRow() const;
    void showAlert(const QString& informativeText);
    void showRefusedLinkAlert(const QString& link);
    void saveGeometry();
    void fitCategoryColumn();

    InformationManager* m_manager;
    std::unique_ptr<QWidget> m_window;
    QPointer<QTableView> m_tableView;
    QPointer<QLabel> m_statusLabel;
    QPointer<QLabel> m_emptyLabel;
    InformationTableModel* m_model = nullptr;
    CategoryCellView* m_categoryCell = nullptr;
    LinkOpener m_opener;
    std::function<void(const QString& link)> m_refusedLinkAlert;
};
