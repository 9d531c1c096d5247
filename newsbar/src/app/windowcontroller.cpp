#include "windowcontroller.h"

#include "categorycellview.h"
#include "displayformat.h"
#include "informationtablemodel.h"
#include "localization.h"
#include "logging.h"

#include "feed/informationmanager.h"

#include "ui_Window.h"

#include <QDesktopServices>
#include <QEventLoop>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QTableView>

namespace {

const QStringList defaultColumnKeys = {QStringLiteral("category"), QStringLiteral("title"),
                                       QStringLiteral("date")};
const QString geometryKey = QStringLiteral("WindowGeometry");

} // namespace

WindowController::WindowController(InformationManager* manager, QObject* parent)
    : QObject(parent), m_manager(manager),
      m_model(new InformationTableModel(defaultColumnKeys, this))
{
    m_opener.openURL = [](const QUrl& url) {
        // The toolkit starts the opener and reports success before it has tried; asking it
        // ourselves tells a link that no browser takes from one that opened.
        const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
        if (opener.isEmpty())
            return QDesktopServices::openUrl(url);
        return openWithOpener(opener, url, std::chrono::seconds(10));
    };
    m_opener.showAlert = [this](const QString& text) { showAlert(text); };
    m_refusedLinkAlert = [this](const QString& link) { showRefusedLinkAlert(link); };
    connect(m_manager, &InformationManager::InformationManagerDidUpdate, this,
            &WindowController::informationManagerDidUpdate);
    connect(m_manager, &InformationManager::updateStatusChanged, this,
            &WindowController::updateStatusChanged);
    m_model->reloadData(*m_manager);
}

WindowController::~WindowController()
{
    // The window goes first, while this object is whole: its table still reports events to
    // the filter here as it is destroyed.
    if (m_tableView)
        m_tableView->removeEventFilter(this);
    if (m_window)
        m_window->removeEventFilter(this);
    m_window.reset();
}

QWidget* WindowController::window()
{
    if (!m_window) {
        m_window = std::make_unique<QWidget>();
        Ui::Window ui;
        ui.setupUi(m_window.get());
        m_tableView = ui.tableView;
        m_statusLabel = ui.statusLabel;
        m_emptyLabel = ui.emptyLabel;
        windowDidLoad();
    }
    return m_window.get();
}

void WindowController::windowDidLoad()
{
    const QStringList keys = m_tableView->property("columnKeys").toStringList();
    if (!keys.isEmpty() && keys != m_model->columnKeys())
        m_model->setColumnKeys(keys);
    m_model->setBoldUnlessValueTransformerName(
        m_tableView->property("boldUnlessValueTransformer").toString());
    m_tableView->setModel(m_model);

    m_categoryCell = new CategoryCellView(m_tableView);
    QHeaderView* header = m_tableView->horizontalHeader();
    header->setMinimumSectionSize(48);
    for (int column = 0; column < m_model->columnKeys().size(); ++column) {
        const QString& key = m_model->columnKeys().at(column);
        if (key == QLatin1String("category")) {
            m_tableView->setItemDelegateForColumn(column, m_categoryCell);
            header->setSectionResizeMode(column, QHeaderView::Interactive);
            fitCategoryColumn();
        } else {
            header->setSectionResizeMode(column, key == QLatin1String("title")
                                                     ? QHeaderView::Stretch
                                                     : QHeaderView::ResizeToContents);
        }
    }

    connect(m_tableView, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex&) { openLink(m_tableView); });
    m_tableView->installEventFilter(this);
    m_window->installEventFilter(this);
    updateStatusChanged();

    // Where the user left it; the first time, centred on the screen.
    if (!m_window->restoreGeometry(QSettings().value(geometryKey).toByteArray())) {
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = m_window->frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            m_window->move(frame.topLeft());
        }
    }
}

void WindowController::fitCategoryColumn()
{
    if (!m_tableView || !m_categoryCell)
        return;
    const int column = int(m_model->columnKeys().indexOf(QStringLiteral("category")));
    if (column < 0)
        return;
    // Wide enough for the known categories, and for the longer ones the list has as far as a
    // third of the window: beyond that the label is cut short.
    int width = CategoryCellView::preferredWidth(m_tableView->font());
    QStyleOptionViewItem option;
    option.initFrom(m_tableView);
    int widest = 0;
    for (int row = 0; row < m_model->rowCount(); ++row)
        widest = std::max(widest, m_categoryCell->sizeHint(option, m_model->index(row, column)).width());
    if (widest > width)
        width = std::max(width, std::min(widest, m_tableView->window()->width() / 3));
    m_tableView->setColumnWidth(column, width);
}

void WindowController::saveGeometry()
{
    if (m_window)
        QSettings().setValue(geometryKey, m_window->saveGeometry());
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
    const Information* record = m_model->information(selectedRow());
    if (!record)
        return;
    // A copy: the alert's event loop may see a download replace the snapshot.
    openInformation(Information(*record));
}

bool WindowController::openInformation(const Information& information)
{
    if (information.openLink(m_opener)) {
        m_manager->setInformationRead(information);
        return true;
    }
    if (m_refusedLinkAlert && information.link())
        m_refusedLinkAlert(information.link()->absoluteString());
    return false;
}

bool WindowController::openWithOpener(const QString& program, const QUrl& url,
                                      std::chrono::milliseconds patience)
{
    // Left to run on when it outlasts the wait; it deletes itself once it ends.
    auto* process = new QProcess;
    process->setProgram(program);
    process->setArguments({url.toString(QUrl::FullyEncoded)});
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::SeparateChannels);
    QEventLoop loop;
    bool ended = false;
    QObject::connect(process, &QProcess::finished, &loop, [&] { ended = true; loop.quit(); });
    QObject::connect(process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            ended = true;
            loop.quit();
        }
    });
    QTimer::singleShot(patience, &loop, &QEventLoop::quit);
    process->start();
    if (!ended)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!ended) {
        QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
        qCInfo(lcApp).noquote() << "The opener still runs after" << patience.count() << "ms; taken as opened";
        return true;
    }
    const bool opened = process->error() != QProcess::FailedToStart
                        && process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
    if (!opened) {
        const QString output = QString::fromLocal8Bit(process->readAllStandardError()).trimmed();
        qCWarning(lcApp).noquote() << "Could not open" << url.toDisplayString() << "with" << program << ":"
                                   << (process->error() == QProcess::FailedToStart
                                           ? process->errorString()
                                           : QStringLiteral("status %1").arg(process->exitCode()))
                                   << output;
    }
    process->deleteLater();
    return opened;
}

void WindowController::showAlert(const QString& informativeText)
{
    QMessageBox alert(QMessageBox::Information, QGuiApplication::applicationDisplayName(),
                      localizedString("INFORMATION_ALERT_TITLE"), QMessageBox::Ok,
                      m_window.get());
    alert.setInformativeText(informativeText);
    alert.exec();
}

void WindowController::showRefusedLinkAlert(const QString& link)
{
    QMessageBox alert(QMessageBox::Warning, QGuiApplication::applicationDisplayName(),
                      localizedString(QT_TRID_NOOP("BROWSER_ALERT_TITLE"),
                                      QStringLiteral("No web browser could open this news item.")),
                      QMessageBox::Ok, m_window.get());
    alert.setInformativeText(link);
    alert.exec();
}

void WindowController::informationManagerDidUpdate()
{
    // A reload keeps the selected row, as long as the table still has it.
    const int row = selectedRow();
    m_model->reloadData(*m_manager);
    if (m_tableView && row >= 0 && row < m_model->rowCount())
        m_tableView->selectRow(row);
    fitCategoryColumn();
    updateStatusChanged();
}

QString WindowController::statusLineText(const UpdateStatus& status, const QDateTime& now)
{
    QString text;
    const auto when = [&now](const QDateTime& time) {
        return time.toLocalTime().date() == now.toLocalTime().date() ? shortTimeText(time)
                                                                     : shortDateTimeText(time);
    };
    const auto storedNote = [&] {
        return localizedString(QT_TRID_NOOP("STATUS_STORED_LIST"), QStringLiteral("News of the last update (%1)"))
            .arg(when(status.storedList));
    };
    if (status.downloading) {
        text = localizedString(QT_TRID_NOOP("STATUS_DOWNLOADING"), QStringLiteral("Downloading the news\u2026"));
        if (status.storedList.isValid())
            text += QStringLiteral(" \u00b7 ") + storedNote();
    } else if (!status.failure.isEmpty()) {
        text = localizedString(QT_TRID_NOOP("STATUS_FAILED"), QStringLiteral("Could not update: %1"))
                   .arg(status.failure);
        if (status.lastSuccess.isValid())
            text += u' '
                    + localizedString(QT_TRID_NOOP("STATUS_LAST_UPDATE"),
                                      QStringLiteral("(last update %1)"))
                          .arg(when(status.lastSuccess));
        else if (status.storedList.isValid())
            text += QStringLiteral(" \u00b7 ") + storedNote();
    } else if (status.lastSuccess.isValid()) {
        text = localizedString(QT_TRID_NOOP("STATUS_UPDATED"), QStringLiteral("Updated %1"))
                   .arg(when(status.lastSuccess));
    } else if (status.storedList.isValid()) {
        text = storedNote();
    } else {
        text = localizedString(QT_TRID_NOOP("STATUS_NOT_UPDATED"), QStringLiteral("Not updated yet"));
    }
    if (!status.settingsError.isEmpty())
        text += QStringLiteral(" \u00b7 ")
                + localizedString(QT_TRID_NOOP("STATUS_SETTINGS"), QStringLiteral("settings cannot be saved"));
    return text;
}

QString WindowController::failureText(const FeedFailure& failure, std::chrono::milliseconds deadline)
{
    using Kind = FeedFailure::Kind;
    switch (failure.kind) {
    case Kind::None:
        return QString();
    case Kind::Unreachable:
        return localizedString(QT_TRID_NOOP("FAILURE_UNREACHABLE"), QStringLiteral("the news server cannot be reached"));
    case Kind::Timeout:
        return localizedString(QT_TRID_NOOP("FAILURE_TIMEOUT"), QStringLiteral("the server stopped answering"));
    case Kind::Deadline: {
        const qint64 seconds = std::chrono::duration_cast<std::chrono::seconds>(deadline).count();
        if (seconds >= 60 && seconds % 60 == 0)
            return localizedString(QT_TRID_NOOP("FAILURE_DEADLINE_MINUTES"),
                                   QStringLiteral("the server did not answer within %1 minutes"))
                .arg(seconds / 60);
        return localizedString(QT_TRID_NOOP("FAILURE_DEADLINE_SECONDS"),
                               QStringLiteral("the server did not answer within %1 seconds"))
            .arg(QLocale().toString(deadline.count() / 1000.0));
    }
    case Kind::Certificate:
        return localizedString(QT_TRID_NOOP("FAILURE_CERTIFICATE"), QStringLiteral("the server's certificate is not trusted"));
    case Kind::HttpError:
        return localizedString(QT_TRID_NOOP("FAILURE_HTTP"), QStringLiteral("the server answered with error %1"))
            .arg(failure.httpStatus);
    case Kind::Busy:
        return localizedString(QT_TRID_NOOP("FAILURE_BUSY"), QStringLiteral("the server is busy; newsbar will try again"));
    case Kind::Redirect:
        return localizedString(QT_TRID_NOOP("FAILURE_REDIRECT"), QStringLiteral("the feed has moved to an address newsbar does not follow"));
    case Kind::TooLarge:
        return localizedString(QT_TRID_NOOP("FAILURE_TOO_LARGE"), QStringLiteral("the feed is too large"));
    case Kind::Empty:
        return localizedString(QT_TRID_NOOP("FAILURE_EMPTY"), QStringLiteral("the server sent an empty answer"));
    case Kind::NotXml:
        return localizedString(QT_TRID_NOOP("FAILURE_NOT_XML"), QStringLiteral("the feed is not valid XML"));
    case Kind::NotFeed:
        return localizedString(QT_TRID_NOOP("FAILURE_NOT_FEED"), QStringLiteral("the address does not lead to an RSS feed"));
    case Kind::Other:
        break;
    }
    return localizedString(QT_TRID_NOOP("FAILURE_OTHER"), QStringLiteral("the download failed"));
}

QString WindowController::emptyTableText(const QString& failure, bool downloading)
{
    if (downloading)
        return localizedString(QT_TRID_NOOP("STATUS_DOWNLOADING"), QStringLiteral("Downloading the news\u2026"));
    if (!failure.isEmpty())
        return localizedString(QT_TRID_NOOP("STATUS_FAILED"), QStringLiteral("Could not update: %1"))
            .arg(failure);
    return localizedString(QT_TRID_NOOP("WINDOW_EMPTY"), QStringLiteral("No news yet"));
}

QString WindowController::statusLine() const
{
    return m_statusLabel ? m_statusLabel->text() : QString();
}

void WindowController::updateStatusChanged()
{
    if (!m_statusLabel)
        return;
    UpdateStatus status;
    status.lastSuccess = m_manager->lastSuccessTime();
    status.failure = failureText(m_manager->lastFailure(),
                                 m_manager->fetcher() ? m_manager->fetcher()->downloadDeadline()
                                                      : InformationManager::defaultDownloadDeadline);
    status.settingsError = m_manager->settingsErrorText();
    status.storedList = m_manager->storedListTime();
    status.downloading = m_manager->isDownloading();
    const QString line = statusLineText(status, QDateTime::currentDateTime());
    // The details, for whoever wants them: the failed download's line and the settings' trouble.
    QStringList details;
    for (const QString& detail : {m_manager->lastErrorText(), m_manager->settingsErrorText()})
        if (!detail.isEmpty())
            details.append(detail);
    const QString tooltip = details.isEmpty() ? line : details.join(u'\n');
    if (line != m_statusLabel->text() || tooltip != m_statusLabel->toolTip()) {
        m_statusLabel->setText(line);
        m_statusLabel->setToolTip(tooltip);
        // A line others can read too: the end-to-end test, a user's terminal.
        qCInfo(lcApp).noquote() << "Status:" << line;
    }
    const bool empty = m_model->rowCount() == 0;
    m_emptyLabel->setText(emptyTableText(status.failure, status.downloading));
    m_emptyLabel->setToolTip(tooltip);
    m_emptyLabel->setVisible(empty);
    m_tableView->setVisible(!empty);
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
    if (watched == m_window.get()
        && (event->type() == QEvent::Close || event->type() == QEvent::Hide))
        saveGeometry();
    return QObject::eventFilter(watched, event);
}

int WindowController::numberOfRowsInTableView(const QTableView* /*tableView*/) const
{
    return m_model->rowCount();
}

QVariant WindowController::tableViewObjectValue(const QTableView* /*tableView*/, int /*column*/,
                                                int row) const
{
    const Information* record = m_model->information(row);
    return record ? QVariant::fromValue(*record) : QVariant();
}
