// The information window: transformers, the category cell, the table and opening links.
#include "apptestsupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include "../tabletest.h"

#include "categorycellview.h"
#include "informationtablemodel.h"
#include "valuetransformers.h"
#include "windowcontroller.h"

#include "feed/informationmanager.h"

#include <QAbstractItemModelTester>
#include <QPainter>
#include <QStandardItemModel>

#include <memory>

namespace {

QColor rgb(double r, double g, double b)
{
    return QColor::fromRgbF(float(r), float(g), float(b));
}

bool sameColor(const QColor& a, const QColor& b)
{
    return std::abs(a.redF() - b.redF()) < 0.002 && std::abs(a.greenF() - b.greenF()) < 0.002
           && std::abs(a.blueF() - b.blueF()) < 0.002 && std::abs(a.alphaF() - b.alphaF()) < 0.002;
}

bool near(QRgb pixel, const QColor& color, int tolerance)
{
    return std::abs(qRed(pixel) - color.red()) <= tolerance
           && std::abs(qGreen(pixel) - color.green()) <= tolerance
           && std::abs(qBlue(pixel) - color.blue()) <= tolerance;
}

QVariant transform(const char* transformer, const QVariant& value)
{
    return ValueTransformer::valueTransformerForName(QString::fromLatin1(transformer))
        ->transformedValue(value);
}

QVariant record(const std::optional<QString>& category)
{
    return QVariant::fromValue(makeInformation(QStringLiteral("t"), category));
}

Information linked(const QString& title, int page)
{
    return makeInformation(title, QStringLiteral("news"), QStringLiteral("https://example.com/%1").arg(page));
}

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_manager = std::make_unique<InformationManager>(std::nullopt, nullptr, nullptr);
        m_opened.clear();
        m_alerts.clear();
        m_refused.clear();
        m_openSucceeds = true;
    }

    void cleanup()
    {
        m_controller.reset();
        m_manager.reset();
    }

    void categoryColors_data() { addTableRows("window_cases.tsv", "colour", {"value", "expected"}); }
    void categoryColors()
    {
        const auto [value, expected] = tableRow<2>();
        const QStringList rgb = expected.split(QLatin1Char(','));
        const QColor want = rgb.size() == 3 ? QColor::fromRgbF(rgb[0].toFloat(), rgb[1].toFloat(), rgb[2].toFloat()) : Qt::black;
        const QVariant color = transform("InformationCategoryColorValueTransformer",
            value == "nothing" ? QVariant() : value.startsWith("text:") ? QVariant(value.mid(5))
            : record(value == "absent" ? std::nullopt : std::optional(value)));
        QCOMPARE(color.metaType(), QMetaType::fromType<QColor>());
        QVERIFY2(sameColor(color.value<QColor>(), want), qPrintable(color.value<QColor>().name()));
    }

    // Looked up by exact class name only.
    void transformerNames()
    {
        const auto lookup = [](const char* name) {
            return ValueTransformer::valueTransformerForName(QString::fromLatin1(name));
        };
        QVERIFY(qobject_cast<InformationReadValueTransformer*>(lookup("InformationReadValueTransformer")));
        QVERIFY(!lookup("ValueTransformer") && !lookup("informationReadValueTransformer"));
    }

    // A bool, true only for a record whose snapshot says read. A bare record carries no read state.
    void readTransformer_data() { addTableRows("window_cases.tsv", "read", {"value", "read"}); }
    void readTransformer()
    {
        const auto [value, read] = tableRow<2>();
        const Information item = makeInformation(QStringLiteral("read"), QStringLiteral("news"));
        const QVariant result = transform("InformationReadValueTransformer",
            value == "read" || value == "unread" ? QVariant::fromValue(InformationReadState{item, value == "read"})
            : value == "record" ? QVariant::fromValue(item) : value == "text" ? QVariant(QStringLiteral("read")) : QVariant());
        QCOMPARE(result.metaType(), QMetaType::fromType<bool>());
        QCOMPARE(result.toBool(), read == "1");
    }

    // Painted: the capsule's outline and the label in the category colour, both white when
    // the row is selected (black stands in for the highlight). One delegate draws every row,
    // so the selected one comes first: nothing of it may stay for the next.
    void cellPaintsOutlineAndLabel()
    {
        QStandardItemModel model(1, 1);
        model.setData(model.index(0, 0), record("update"), InformationTableModel::ObjectValueRole);
        CategoryCellView cell;
        for (const bool selected : {true, false}) {
            QImage image(120, 28, QImage::Format_ARGB32);
            QStyleOptionViewItem option;
            option.rect = image.rect();
            option.font = QApplication::font();
            option.state = QStyle::State_Enabled | (selected ? QStyle::State_Selected : QStyle::State_None);
            option.palette.setColor(QPalette::Highlight, Qt::black);
            option.palette.setColor(QPalette::Base, Qt::white);
            image.fill(selected ? Qt::black : Qt::white);
            QPainter painter(&image);
            cell.paint(&painter, option, model.index(0, 0));
            painter.end();
            const QColor expected = selected ? QColor(Qt::white) : rgb(0.93, 0.34, 0.27);
            // The outline's left end, half-way down, and its top edge 2.5 from the top, both
            // inside the cell's padding; the padding itself stays clear.
            const int px = CategoryCellView::cellPaddingX, py = CategoryCellView::cellPaddingY;
            QVERIFY(near(image.pixel(px, 14), expected, 90) || near(image.pixel(px + 1, 14), expected, 90));
            QVERIFY(near(image.pixel(60, py + 2), expected, 90) || near(image.pixel(60, py + 3), expected, 90));
            QVERIFY(!near(image.pixel(px - 2, 14), expected, 90));
            int labelPixels = 0;
            for (int y = 5; y < 23; ++y)
                for (int x = 10; x < 110; ++x)
                    labelPixels += near(image.pixel(x, y), expected, 60);
            QVERIFY2(labelPixels > 20, qPrintable(QString::number(labelPixels)));
        }
    }

    void tableShowsTheRecordsUnreadInBold()
    {
        QTableView* table = makeWindow();
        QAbstractItemModelTester tester(table->model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(table->model()->rowCount(), 0);
        QVERIFY(qobject_cast<CategoryCellView*>(table->itemDelegateForColumn(0)));
        // A first list is taken as read; a second with one new record has one unread row.
        const Information old = makeInformation(QStringLiteral("Old"), QStringLiteral("info"));
        setInformations({old});
        const Information fresh = makeInformation(QStringLiteral("Fresh"), QStringLiteral("news"));
        setInformations({fresh, old});

        QAbstractItemModel* model = table->model();
        QCOMPARE(model->rowCount(), 2);
        QCOMPARE(model->columnCount(), 3);
        QCOMPARE(model->index(0, 1).data().toString(), QStringLiteral("Fresh"));
        QCOMPARE(model->index(1, 1).data().toString(), QStringLiteral("Old"));
        QVERIFY(!model->index(0, 2).data().toString().isEmpty());
        QCOMPARE(model->index(1, 0).data(InformationTableModel::ObjectValueRole).value<Information>(), old);
        QVERIFY(model->index(0, 1).data(Qt::FontRole).value<QFont>().bold());
        QVERIFY(!model->index(1, 1).data(Qt::FontRole).isValid());
        // What the bold font says, also for screen readers; the capsule by its category.
        for (int column = 0; column < 3; ++column) {
            QCOMPARE(model->index(0, column).data(Qt::AccessibleDescriptionRole).toString(), QStringLiteral("Unread"));
            QCOMPARE(model->index(1, column).data(Qt::AccessibleDescriptionRole).toString(), QStringLiteral("Read"));
        }
        QCOMPARE(model->index(0, 0).data(Qt::AccessibleTextRole).toString(), QStringLiteral("Category: news"));
        QCOMPARE(model->index(0, 1).data(Qt::AccessibleTextRole).toString(), QStringLiteral("Fresh"));
        // Dates without seconds; the full date and time in the tooltip.
        QVERIFY(!model->index(0, 2).data().toString().contains(QStringLiteral(":00:00")));
        QVERIFY(model->index(0, 2).data().toString().contains(QStringLiteral("09:00")));
        QVERIFY(!model->index(0, 2).data(Qt::ToolTipRole).toString().isEmpty());
        QCOMPARE(model->headerData(1, Qt::Horizontal, Qt::AccessibleTextRole).toString(), QStringLiteral("Title"));
        // The table shows its snapshot: read state changes only with the manager's update,
        // which reloads it; the selection stays on its row.
        table->selectRow(1);
        m_manager->setReadItems(QSet<QString>{fresh.identifier(), old.identifier()});
        QVERIFY(model->index(0, 1).data(Qt::FontRole).value<QFont>().bold());
        m_manager->setInformationRead(fresh);
        QVERIFY(!model->index(0, 1).data(Qt::FontRole).isValid());
        QCOMPARE(table->selectionModel()->selectedRows().value(0).row(), 1);
        QCOMPARE(m_controller->numberOfRowsInTableView(table), 2);
        QCOMPARE(m_controller->tableViewObjectValue(table, 2, 1).value<Information>(), old);
        QVERIFY(!m_controller->tableViewObjectValue(table, 0, 2).isValid());
    }

    // The line under the table and what an empty table says.
    void statusLine_data()
    {
        addTableRows("window_cases.tsv", "status", {"lastSuccess", "failure", "settingsError", "stored", "downloading", "line", "empty"});
    }
    void statusLine()
    {
        const auto [lastSuccess, failure, settingsError, stored, downloading, line, empty] = tableRow<7>();
        const QDateTime now(QDate(2026, 12, 7), QTime(15, 30), Qt::UTC);
        const auto time = [](const QString& when) {
            return when == "today" ? QDateTime(QDate(2026, 12, 7), QTime(14, 2, 59), Qt::UTC)
                 : when == "earlier" ? QDateTime(QDate(2026, 12, 2), QTime(14, 2), Qt::UTC)
                                     : QDateTime();
        };
        WindowController::UpdateStatus status;
        status.lastSuccess = time(lastSuccess);
        status.failure = failure;
        status.settingsError = settingsError;
        status.storedList = time(stored);
        status.downloading = downloading == "1";
        QCOMPARE(WindowController::statusLineText(status, now), line);
        QCOMPARE(WindowController::emptyTableText(failure, status.downloading), empty);
    }

    // Each failure in short, plain words.
    void failureText_data() { addTableRows("window_cases.tsv", "failure", {"kind", "status", "deadline", "text"}); }
    void failureText()
    {
        const auto [kind, status, deadline, text] = tableRow<4>();
        static const QStringList kinds = {"None", "Unreachable", "Timeout", "Deadline", "Certificate", "HttpError", "Busy",
                                          "Redirect", "TooLarge", "Empty", "NotXml", "NotFeed", "Other"};
        QVERIFY(kinds.contains(kind));
        const FeedFailure failure{FeedFailure::Kind(kinds.indexOf(kind)), status.toInt()};
        QCOMPARE(WindowController::failureText(failure, std::chrono::milliseconds(deadline.toLongLong())), text);
    }

    // A longer category than the known ones widens its column rather than being cut short, as
    // far as a third of the window.
    void categoryColumnFitsItsLabels()
    {
        QTableView* table = makeWindow();
        m_controller->showWindow(nullptr);
        table->window()->resize(900, 400);
        const int known = table->columnWidth(0);
        const Information longer = makeInformation(QStringLiteral("Down"), QStringLiteral("Maintenance"));
        setInformations({longer});
        auto* delegate = table->itemDelegateForColumn(0);
        QStyleOptionViewItem option;
        option.initFrom(table);
        const int needed = delegate->sizeHint(option, table->model()->index(0, 0)).width();
        QVERIFY(needed > known);
        QCOMPARE(table->columnWidth(0), needed);
        setInformations({makeInformation(QStringLiteral("Back"), QStringLiteral("news"))});
        QCOMPARE(table->columnWidth(0), known);
        setInformations({makeInformation(QStringLiteral("Long"), QString(200, u'M'))});
        QCOMPARE(table->columnWidth(0), std::max(known, table->window()->width() / 3));
    }

    // An empty list says so in place of the table; records bring the table back.
    void emptyTableSaysWhy()
    {
        QTableView* table = makeWindow();
        m_controller->showWindow(nullptr);
        QVERIFY(!table->isVisible());
        QCOMPARE(m_controller->statusLine(), QStringLiteral("Not updated yet"));
        setInformations({linked(QStringLiteral("One"), 1)});
        QVERIFY(table->isVisible());
        setInformations({});
        QVERIFY(!table->isVisible());
    }

    // Opening through the desktop marks read only when it opened, and a web link that no
    // browser took gets its own alert; a link that is not web gets the alert with the title,
    // and counts as read.
    void openingMarksRead_data() { addTableRows("window_cases.tsv", "open", {"link", "openSucceeds", "opened", "read"}); }
    void openingMarksRead()
    {
        const auto [link, openSucceeds, opened, read] = tableRow<4>();
        m_openSucceeds = openSucceeds == "1";
        makeWindow();
        m_manager->setReadItems(QSet<QString>());
        const Information information = makeInformation(QStringLiteral("A title"), {}, link);
        setInformations({information});
        m_controller->openLink(nullptr);  // nothing selected: nothing happens
        QVERIFY(m_opened.isEmpty() && m_alerts.isEmpty());
        m_controller->tableView()->selectRow(0);
        m_controller->openLink(nullptr);
        QCOMPARE(m_opened.size(), opened.toInt());
        QCOMPARE(m_alerts, opened == "1" ? QStringList() : QStringList{QStringLiteral("A title")});
        QCOMPARE(m_refused, opened == "1" && !m_openSucceeds ? QStringList{link} : QStringList());
        QCOMPARE(m_manager->isInformationRead(information), read == "1");
    }

    // The desktop's opener is waited for: its status decides, and one that runs on (the
    // browser itself) counts as opened.
    void opener_data() { addTableRows("window_cases.tsv", "opener", {"script", "opened"}); }
    void opener()
    {
        const auto [script, opened] = tableRow<2>();
        QTemporaryDir directory;
        const QString program = directory.filePath("opener");
        if (script != "missing") {
            QFile file(program);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("#!/bin/sh\n" + script.toUtf8() + "\n");
            file.close();
            QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        if (opened == "0" && script != "missing")
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Could not open https://example.com/a with "));
        if (script == "missing")
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Could not open "));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(WindowController::openWithOpener(program, QUrl("https://example.com/a"), std::chrono::milliseconds(1500)),
                 opened == "1");
        QVERIFY(timer.elapsed() < 10000);
        // The opener that ran on ends and takes its watcher with it.
        if (script.startsWith("sleep"))
            QTRY_VERIFY_WITH_TIMEOUT(timer.elapsed() > 3500, 10000);
    }

    // Return and Enter open the selected record; other keys, modifier and dead keys (no
    // characters) go to the table.
    void keys_data() { addTableRows("window_cases.tsv", "key", {"key", "modifiers", "text", "opens"}); }
    void keys()
    {
        const auto [key, modifiers, text, opens] = tableRow<4>();
        const int code = QMetaEnum::fromType<Qt::Key>().keyToValue(key.toLatin1().constData());
        const Qt::KeyboardModifiers held(QMetaEnum::fromType<Qt::KeyboardModifier>().keysToValue(modifiers.toLatin1().constData()));
        QVERIFY(code != -1);

        QTableView* table = makeWindow();
        setInformations({linked(QStringLiteral("One"), 1), linked(QStringLiteral("Two"), 2)});
        table->selectRow(0);
        table->setCurrentIndex(table->model()->index(0, 1));
        QKeyEvent event(QEvent::KeyPress, code, held, text);
        QCOMPARE(m_controller->keyDown(&event), opens == "1");
        QCOMPARE(m_opened.size(), opens == "1" ? 1 : 0);
        // Through the table, the way key presses arrive: keys left to it still move its cursor.
        QTest::keyClick(table, Qt::Key_Down);
        QCOMPARE(table->currentIndex().row(), 1);
        QKeyEvent again(QEvent::KeyPress, code, held, text);
        QApplication::sendEvent(table, &again);
        QCOMPARE(m_opened.size(), opens == "1" ? 2 : 0);
        if (opens == "1")
            QCOMPARE(m_opened.last(), QUrl(QStringLiteral("https://example.com/2")));
    }

    // A double-click on a row opens it; one on the empty space below the rows does nothing,
    // even with the row still selected.
    void doubleClickOpens()
    {
        QTableView* table = makeWindow();
        m_controller->showWindow(nullptr);
        setInformations({linked(QStringLiteral("One"), 1)});
        QVERIFY(QTest::qWaitForWindowExposed(m_controller->window()));
        const QPoint row = table->visualRect(table->model()->index(0, 1)).center();
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, row);
        QCOMPARE(m_opened.size(), 0);
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, row);
        QCOMPARE(m_opened.size(), 1);
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, row + QPoint(0, 40));
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, row + QPoint(0, 40));
        QCOMPARE(m_opened.size(), 1);
    }

private:
    QTableView* makeWindow()
    {
        m_controller = std::make_unique<WindowController>(m_manager.get());
        m_controller->setLinkOpener({[this](const QUrl& url) { m_opened.append(url); return m_openSucceeds; },
                                     [this](const QString& text) { m_alerts.append(text); }});
        m_controller->setRefusedLinkAlert([this](const QString& link) { m_refused.append(link); });
        m_controller->window();
        return m_controller->tableView();
    }

    void setInformations(const QList<Information>& list)
    {
        m_manager->setInformations(std::make_shared<const QList<Information>>(list));
    }

    std::unique_ptr<InformationManager> m_manager;
    std::unique_ptr<WindowController> m_controller;
    QList<QUrl> m_opened;
    QStringList m_alerts;
    QStringList m_refused;
    bool m_openSucceeds = true;
};

NEWSBAR_APP_TEST_MAIN(WindowTest)
#include "app_window_test.moc"
