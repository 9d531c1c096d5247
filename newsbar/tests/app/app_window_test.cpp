// The information window: transformers, the category cell, the table and opening links.
#include "apptestsupport.h"

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

    void categoryColors_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QColor>("expected");
        const QColor black(Qt::black);
        QTest::newRow("event") << record("event") << rgb(0.42, 0.79, 0.29);
        QTest::newRow("info") << record("info") << rgb(0.81, 0.52, 0.81);
        QTest::newRow("news") << record("news") << rgb(0.33, 0.72, 0.92);
        QTest::newRow("topic") << record("topic") << rgb(0.96, 0.64, 0.28);
        QTest::newRow("update") << record("update") << rgb(0.93, 0.34, 0.27);
        QTest::newRow("capitalised") << record("News") << black;
        QTest::newRow("space before") << record(" news") << black;
        QTest::newRow("unknown") << record("press") << black;
        QTest::newRow("empty") << record(QString()) << black;
        QTest::newRow("absent") << record(std::nullopt) << black;
        QTest::newRow("bare text") << QVariant(QStringLiteral("news")) << black;
        QTest::newRow("nothing") << QVariant() << black;
    }
    void categoryColors()
    {
        QFETCH(QVariant, value);
        QFETCH(QColor, expected);
        const QVariant color = transform("InformationCategoryColorValueTransformer", value);
        QCOMPARE(color.metaType(), QMetaType::fromType<QColor>());
        QVERIFY2(sameColor(color.value<QColor>(), expected), qPrintable(color.value<QColor>().name()));
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
    void readTransformer_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("read");
        const Information item = makeInformation(QStringLiteral("read"), QStringLiteral("news"));
        QTest::newRow("read") << QVariant::fromValue(InformationReadState{item, true}) << true;
        QTest::newRow("unread") << QVariant::fromValue(InformationReadState{item, false}) << false;
        QTest::newRow("bare record") << QVariant::fromValue(item) << false;
        QTest::newRow("nothing") << QVariant() << false;
        QTest::newRow("text") << QVariant(QStringLiteral("read")) << false;
    }
    void readTransformer()
    {
        QFETCH(QVariant, value);
        QFETCH(bool, read);
        const QVariant result = transform("InformationReadValueTransformer", value);
        QCOMPARE(result.metaType(), QMetaType::fromType<bool>());
        QCOMPARE(result.toBool(), read);
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
        QTest::addColumn<QDateTime>("lastSuccess");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("settingsError");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("empty");
        const QDateTime today(QDate(2026, 12, 7), QTime(14, 2, 59), Qt::UTC);
        const QDateTime earlier(QDate(2026, 12, 2), QTime(14, 2), Qt::UTC);
        const QString refused = QStringLiteral("Connection refused");
        QTest::newRow("never") << QDateTime() << "" << "" << "Not updated yet" << "No news yet";
        QTest::newRow("today") << today << "" << "" << "Updated 14:02" << "No news yet";
        QTest::newRow("failed, never updated") << QDateTime() << refused << ""
                                               << "Could not update: Connection refused"
                                               << "Could not update: Connection refused";
        QTest::newRow("failed after today's update")
            << today << refused << "" << "Could not update: Connection refused (last update 14:02)"
            << "Could not update: Connection refused";
        QTest::newRow("failed after an earlier update")
            << earlier << refused << ""
            << "Could not update: Connection refused (last update 2 Dec 2026 14:02)"
            << "Could not update: Connection refused";
        QTest::newRow("settings") << today << "" << "Settings not writable"
                                  << "Updated 14:02 \u00b7 Settings not writable" << "No news yet";
    }
    void statusLine()
    {
        QFETCH(QDateTime, lastSuccess);
        QFETCH(QString, error);
        QFETCH(QString, settingsError);
        QFETCH(QString, line);
        QFETCH(QString, empty);
        const QDateTime now(QDate(2026, 12, 7), QTime(15, 30), Qt::UTC);
        QCOMPARE(WindowController::statusLineText(lastSuccess, error, settingsError, now), line);
        QCOMPARE(WindowController::emptyTableText(error), empty);
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
    void openingMarksRead_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<bool>("openSucceeds");
        QTest::addColumn<int>("opened");
        QTest::addColumn<bool>("read");
        QTest::newRow("https") << "https://example.com/a" << true << 1 << true;
        QTest::newRow("http refused") << "http://example.com/a" << false << 1 << false;
        QTest::newRow("mailto") << "mailto:news@example.com" << true << 0 << true;
        QTest::newRow("capital scheme") << "HTTPS://example.com/a" << true << 0 << true;
        QTest::newRow("no link") << "" << true << 0 << true;
    }
    void openingMarksRead()
    {
        QFETCH(QString, link);
        QFETCH(bool, openSucceeds);
        QFETCH(int, opened);
        QFETCH(bool, read);
        m_openSucceeds = openSucceeds;
        makeWindow();
        m_manager->setReadItems(QSet<QString>());
        const Information information = makeInformation(QStringLiteral("A title"), {}, link);
        setInformations({information});
        m_controller->openLink(nullptr);  // nothing selected: nothing happens
        QVERIFY(m_opened.isEmpty() && m_alerts.isEmpty());
        m_controller->tableView()->selectRow(0);
        m_controller->openLink(nullptr);
        QCOMPARE(m_opened.size(), opened);
        QCOMPARE(m_alerts, opened ? QStringList() : QStringList{QStringLiteral("A title")});
        QCOMPARE(m_refused, opened && !openSucceeds ? QStringList{link} : QStringList());
        QCOMPARE(m_manager->isInformationRead(information), read);
    }

    // Return and Enter open the selected record; other keys, modifier and dead keys (no
    // characters) go to the table.
    void keys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("opens");
        QTest::newRow("return") << int(Qt::Key_Return) << 0 << "\r" << true;
        QTest::newRow("enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << "\r" << true;
        QTest::newRow("shift+return") << int(Qt::Key_Return) << int(Qt::ShiftModifier) << "\r" << true;
        QTest::newRow("control+c") << int(Qt::Key_C) << int(Qt::ControlModifier) << "\x03" << false;
        QTest::newRow("control+m") << int(Qt::Key_M) << int(Qt::ControlModifier) << "\r" << false;
        QTest::newRow("letter") << int(Qt::Key_A) << 0 << "a" << false;
        QTest::newRow("shift alone") << int(Qt::Key_Shift) << int(Qt::ShiftModifier) << "" << false;
        QTest::newRow("dead key") << int(Qt::Key_Dead_Acute) << 0 << "" << false;
    }
    void keys()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, text);
        QFETCH(bool, opens);
        QTableView* table = makeWindow();
        setInformations({linked(QStringLiteral("One"), 1), linked(QStringLiteral("Two"), 2)});
        table->selectRow(0);
        table->setCurrentIndex(table->model()->index(0, 1));
        QKeyEvent event(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), text);
        QCOMPARE(m_controller->keyDown(&event), opens);
        QCOMPARE(m_opened.size(), opens ? 1 : 0);
        // Through the table, the way key presses arrive: keys left to it still move its cursor.
        QTest::keyClick(table, Qt::Key_Down);
        QCOMPARE(table->currentIndex().row(), 1);
        QKeyEvent again(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), text);
        QApplication::sendEvent(table, &again);
        QCOMPARE(m_opened.size(), opens ? 2 : 0);
        if (opens)
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
