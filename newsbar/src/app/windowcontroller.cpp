#include "windowcontroller.h"

#include "categorycellview.h"
#include "informationtablemodel.h"
#include "localization.h"

#include "feed/informationmanager.h"

#include "ui_Window.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScreen>
#include <QTableView>

namespace {

const QStringList defaultColumnKeys = {QStringLiteral("category"), QStringLiteral("title"),
                                       QStringLiteral("date")};

} // namespace

WindowController::WindowController(InformationManager* manager, QObject* parent)
    : QObject(parent), m_manager(manager)
{
    m_opener.openURL = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    m_opener.showAlert = [this](const QString& text) { showAlert(text); };
    connect(m_manager, &InformationManager::InformationManagerDidUpdate, this,
            &WindowController::informationManagerDidUpdate);
}

WindowController::~WindowController()
{
    // The window goes first, while this object is whole: its table still reports events to
    // the filter here as it is destroyed.
    if (m_tableView)
        m_tableView->removeEventFilter(this);
    m_window.reset();
}

QWidget* WindowController::window()
{
    if (!m_window) {
        m_window = std::make_unique<QWidget>();
        Ui::Window ui;
        ui.setupUi(m_window.get());
        m_tableView = ui.tableView;
        windowDidLoad();
    }
    return m_window.get();
}

void WindowController::windowDidLoad()
{
    QStringList keys = m_tableView->property("columnKeys").toStringList();
    if (keys.isEmpty())
        keys = defaultColumnKeys;
    m_model = new InformationTableModel(this, keys, this);
    m_model->setBoldUnlessValueTransformerName(
        m_tableView->property("boldUnlessValueTransformer").toString());
    m_tableView->setModel(m_model);

    m_categoryCell = new CategoryCellView(m_tableView);
    QHeaderView* header = m_tableView->horizontalHeader();
    for (int column = 0; column < keys.size(); ++column) {
        const QString& key = keys.at(column);
        if (key == QLatin1String("category"))
            m_tableView->setItemDelegateForColumn(column, m_categoryCell);
        header->setSectionResizeMode(column, key == QLatin1String("title")
                                                 ? QHeaderView::Stretch
                                                 : QHeaderView::ResizeToContents);
    }

    // The table's double action.
    connect(m_tableView, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex&) { openLink(m_tableView); });
    m_tableView->installEventFilter(this);

    // Centre on the screen.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = m_window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        m_window->move(frame.topLeft());
    }
}

void WindowController::showWindow(QObject* /*sender*/)
{
    QWidget* shown = window();
    shown->show();
    shown->raise();
}

int WindowController::selectedRow() const
{
    if (!m_tableView || !m_tableView->selectionModel())
        return -1;
    const QModelIndexList rows = m_tableView->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.last().row();
}

void WindowController::openLink(QObject* /*sender*/)
{
    const int row = selectedRow();
    if (row < 0)
        return;
    // Held here: the alert's event loop may see a download replace the list.
    const InformationList list = m_manager->informations();
    if (!list || row >= list->size())
        return;
    const Information information = list->at(row);
    if (information.openLink(m_opener))
        m_manager->setInformationRead(information);
}

void WindowController::showAlert(const QString& informativeText)
{
    QMessageBox alert(QMessageBox::Information, QGuiApplication::applicationDisplayName(),
                      localizedString("INFORMATION_ALERT_TITLE"), QMessageBox::Ok,
                      m_window.get());
    alert.setInformativeText(informativeText);
    alert.exec();
}

void WindowController::informationManagerDidUpdate()
{
    if (!m_model)
        return;
    // A reload keeps the selected row, as long as the table still has it.
    const int row = selectedRow();
    m_model->reloadData();
    if (row >= 0 && row < m_model->rowCount())
        m_tableView->selectRow(row);
}

QString WindowController::charactersIgnoringModifiers(const QKeyEvent& event)
{
    switch (event.key()) {
    case Qt::Key_Return:
        return QStringLiteral("\r");
    case Qt::Key_Enter:
        return QString(QChar(3));
    default:
        break;
    }
    // With Control or Meta held the text is a control character (Control+C is "\x03", which
    // would pass for Enter); the key's own character is what the key means without them.
    if (event.modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) {
        const int key = event.key();
        if (key < 0x20 || key > 0xff)
            return {};
        const QString character(QChar(static_cast<char16_t>(key)));
        return event.modifiers() & Qt::ShiftModifier ? character : character.toLower();
    }
    return event.text();
}

bool WindowController::keyDown(QKeyEvent* event)
{
    const QString characters = charactersIgnoringModifiers(*event);
    if (characters.isEmpty())
        return false;
    const char16_t first = characters.at(0).unicode();
    if (first == 13 || first == 3) {
        openLink(this);
        return true;
    }
    return false;
}

bool WindowController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_tableView && event->type() == QEvent::KeyPress)
        return keyDown(static_cast<QKeyEvent*>(event));
    return QObject::eventFilter(watched, event);
}

int WindowController::numberOfRowsInTableView(const QTableView* /*tableView*/) const
{
    const InformationList& list = m_manager->informations();
    return list ? static_cast<int>(list->size()) : 0;
}

QVariant WindowController::tableViewObjectValue(const QTableView* /*tableView*/, int /*column*/,
                                                int row) const
{
    const InformationList& list = m_manager->informations();
    if (!list || row < 0 || row >= list->size())
        return {};
    return QVariant::fromValue(list->at(row));
}
