#pragma once

#include "feed/information.h"

#include <QObject>
#include <QPointer>
#include <QTableView>
#include <QVariant>

#include <memory>

class CategoryCellView;
class InformationManager;
class InformationTableModel;
class QKeyEvent;
class QWidget;

// The information window: the manager's records in a table (category label, title, date), unread
// ones in bold. Double-click, Return or Enter opens the selected record's link and marks it read.
// The layout comes from the interface file "Window"; the controller is the table's data source.
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

    // Loads the window if needed and brings it forward.
    void showWindow(QObject* sender);

    // Opens the selected record's link; marks the record read when that succeeded (or the
    // alert for an unopenable link was seen). Nothing without a selection.
    void openLink(QObject* sender);

    // Reloads the table.
    void informationManagerDidUpdate();

    // Return and Enter open the selected link; true when the event was taken. Anything else,
    // and a key without characters (a modifier or dead key), is left to the table.
    bool keyDown(QKeyEvent* event);

    // The event's characters as if no modifier but Shift were held: "\r" for Return, "\x03"
    // for Enter, empty for modifier and dead keys.
    static QString charactersIgnoringModifiers(const QKeyEvent& event);

    // Data source.
    int numberOfRowsInTableView(const QTableView* tableView) const;
    QVariant tableViewObjectValue(const QTableView* tableView, int column, int row) const;

    // How links are opened and unopenable ones reported; the desktop's by default.
    void setLinkOpener(LinkOpener opener) { m_opener = std::move(opener); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void windowDidLoad();
    int selectedRow() const;
    void showAlert(const QString& informativeText);

    InformationManager* m_manager;
    std::unique_ptr<QWidget> m_window;
    QPointer<QTableView> m_tableView;
    InformationTableModel* m_model = nullptr;
    CategoryCellView* m_categoryCell = nullptr;
    LinkOpener m_opener;
};
