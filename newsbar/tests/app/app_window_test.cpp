// The information window: transformers, the category cell, the table and opening links.
#include "apptestsupport.h"

#include "categorycellview.h"
#include "informationtablemodel.h"
#include "valuetransformers.h"
#include "windowcontroller.h"

#include "feed/informationmanager.h"

#include <QPainter>
#include <QStandardItemModel>
#include <QTableView>

#include <memory>

namespace {

QColor rgb(double r, double g, double b)
{
    return QColor::fromRgbF(float(r), float(g), float(b), 1.0f);
}

bool sameColor(const QColor& a, const QColor& b)
{
    return std::abs(a.redF() - b.redF()) < 0.002 && std::abs(a.greenF() - b.greenF()) < 0.002
           && std::abs(a.blueF() - b.blueF()) < 0.002 && std::abs(a.alphaF() - b.alphaF()) < 0.002;
}

bool near(QRgb pixel, const QColor& color, int tolerance = 40)
{
    return std::abs(qRed(pixel) - color.red()) <= tolerance
           && std::abs(qGreen(pixel) - color.green()) <= tolerance
           && std::abs(qBlue(pixel) - color.blue()) <= tolerance;
}

struct OpenerLog
{
    QList<QUrl> opened;
    QStringList alerts;
    bool openSucceeds = true;

    LinkOpener opener()
    {
        return {[this](const QUrl& url) {
                    opened.append(url);
                    return openSucceeds;
                },
                [this](const QString& text) { alerts.append(text); }};
    }
};

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        pinApplicationFont();
    }

    void init()
    {
        m_manager = std::make_unique<InformationManager>(std::nullopt, nullptr, nullptr);
        InformationReadValueTransformer::setInformationManager(m_manager.get());
    }

    void cleanup()
    {
        InformationReadValueTransformer::setInformationManager(nullptr);
        m_manager.reset();
    }

    void transformersAreFoundByClassName()
    {
        ValueTransformer* read =
            ValueTransformer::valueTransformerForName(QStringLiteral("InformationReadValueTransformer"));
        ValueTransformer* color = ValueTransformer::valueTransformerForName(
            QStringLiteral("InformationCategoryColorValueTransformer"));
        QVERIFY(qobject_cast<InformationReadValueTransformer*>(read));
        QVERIFY(qobject_cast<InformationCategoryColorValueTransformer*>(color));
        QCOMPARE(ValueTransformer::valueTransformerForName(QStringLiteral("InformationReadValueTransformer")), read);
        QCOMPARE(read->transformedValueClass(), QMetaType::fromType<bool>());
        QCOMPARE(color->transformedValueClass(), QMetaType::fromType<QColor>());
        QVERIFY(!ValueTransformer::valueTransformerForName(QStringLiteral("ValueTransformer")));
        QVERIFY(!ValueTransformer::valueTransformerForName(QStringLiteral("informationReadValueTransformer")));
    }

    void categoryColors_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QColor>("expected");
        const auto record = [](const std::optional<QString>& category) {
            return QVariant::fromValue(makeInformation(QStringLiteral("t"), category));
        };
        QTest::newRow("event") << record(QStringLiteral("event")) << rgb(0.42, 0.79, 0.29);
        QTest::newRow("info") << record(QStringLiteral("info")) << rgb(0.81, 0.52, 0.81);
        QTest::newRow("news") << record(QStringLiteral("news")) << rgb(0.33, 0.72, 0.92);
        QTest::newRow("topic") << record(QStringLiteral("topic")) << rgb(0.96, 0.64, 0.28);
        QTest::newRow("update") << record(QStringLiteral("update")) << rgb(0.93, 0.34, 0.27);
        QTest::newRow("capital News") << record(QStringLiteral("News")) << QColor(Qt::black);
        QTest::newRow("padded") << record(QStringLiteral(" news")) << QColor(Qt::black);
        QTest::newRow("other") << record(QStringLiteral("press")) << QColor(Qt::black);
        QTest::newRow("empty") << record(QString()) << QColor(Qt::black);
        QTest::newRow("absent") << record(std::nullopt) << QColor(Qt::black);
        QTest::newRow("text") << QVariant(QStringLiteral("news")) << QColor(Qt::black);
        QTest::newRow("nothing") << QVariant() << QColor(Qt::black);
    }
    void categoryColors()
    {
        QFETCH(QVariant, value);
        QFETCH(QColor, expected);
        const QVariant color = ValueTransformer::valueTransformerForName(
                                   QStringLiteral("InformationCategoryColorValueTransformer"))
                                   ->transformedValue(value);
        QCOMPARE(color.metaType(), QMetaType::fromType<QColor>());
        QVERIFY2(sameColor(color.value<QColor>(), expected),
                 qPrintable(color.value<QColor>().name() + QStringLiteral(" vs ") + expected.name()));
    }

    void readTransformer()
    {
        const Information read = makeInformation(QStringLiteral("read"), QStringLiteral("news"));
        const Information unread = makeInformation(QStringLiteral("unread"), QStringLiteral("news"));
        m_manager->setInformationRead(read);
        const ValueTransformer* transformer =
            ValueTransformer::valueTransformerForName(QStringLiteral("InformationReadValueTransformer"));
        const auto transform = [&](const QVariant& value) {
            const QVariant result = transformer->transformedValue(value);
            [&] { QCOMPARE(result.metaType(), QMetaType::fromType<bool>()); }();
            return result.toBool();
        };
        QCOMPARE(transform(QVariant::fromValue(read)), true);
        QCOMPARE(transform(QVariant::fromValue(unread)), false);
        QCOMPARE(transform(QVariant()), false);
        QCOMPARE(transform(QVariant(QStringLiteral("read"))), false);
    }

    // The label follows the category colour on a normal row and is white on a selected one.
    void cellColorsFollowSelection()
    {
        CategoryCellView cell;
        const QColor blue = rgb(0.33, 0.72, 0.92);
        cell.setObjectValue(QVariant::fromValue(makeInformation(QStringLiteral("t"), QStringLiteral("news"))));
        QVERIFY(sameColor(cell.textColor(), blue));
        QVERIFY(sameColor(cell.textFieldColor(), blue));
        QCOMPARE(cell.textFieldText(), QStringLiteral("news"));

        cell.setBackgroundStyle(CategoryCellView::BackgroundStyleEmphasized);
        QCOMPARE(cell.textFieldColor(), QColor(Qt::white));
        QVERIFY(sameColor(cell.textColor(), blue));
        // A new colour while selected is kept for later; the label stays white.
        cell.setTextColor(Qt::red);
        QCOMPARE(cell.textFieldColor(), QColor(Qt::white));

        cell.setBackgroundStyle(CategoryCellView::BackgroundStyleNormal);
        QCOMPARE(cell.textFieldColor(), QColor(Qt::red));
        cell.setObjectValue(QVariant::fromValue(makeInformation(QStringLiteral("t"), QStringLiteral("event"))));
        QVERIFY(sameColor(cell.textFieldColor(), rgb(0.42, 0.79, 0.29)));
    }

    // Painted: the capsule's outline and the label in the category colour, both white when
    // the row is selected.
    void cellPaintsOutlineAndLabel_data()
    {
        QTest::addColumn<bool>("selected");
        QTest::newRow("normal") << false;
        QTest::newRow("selected") << true;
    }
    void cellPaintsOutlineAndLabel()
    {
        QFETCH(bool, selected);
        QStandardItemModel model(1, 1);
        model.setData(model.index(0, 0),
                      QVariant::fromValue(makeInformation(QStringLiteral("t"), QStringLiteral("update"))),
                      InformationTableModel::ObjectValueRole);
        QTableView view;
        view.setModel(&model);
        CategoryCellView cell;

        QImage image(120, 28, QImage::Format_ARGB32);
        image.fill(selected ? Qt::black : Qt::white);  // stands in for the selection highlight
        QStyleOptionViewItem option;
        option.initFrom(&view);
        option.rect = QRect(0, 0, 120, 28);
        option.font = QApplication::font();
        option.widget = nullptr;
        option.state = QStyle::State_Enabled | (selected ? QStyle::State_Selected : QStyle::State_None);
        option.palette.setColor(QPalette::Highlight, Qt::black);
        option.palette.setColor(QPalette::Base, Qt::white);
        option.palette.setColor(QPalette::AlternateBase, Qt::white);
        {
            QPainter painter(&image);
            cell.paint(&painter, option, model.index(0, 0));
        }
        const QColor expected = selected ? QColor(Qt::white) : rgb(0.93, 0.34, 0.27);
        // The outline's left end: x = 0.5, half-way down; its top edge 2.5 from the top.
        QVERIFY2(near(image.pixel(0, 14), expected, 90) || near(image.pixel(1, 14), expected, 90),
                 qPrintable(QColor(image.pixel(0, 14)).name()));
        QVERIFY(near(image.pixel(60, 2), expected, 90) || near(image.pixel(60, 3), expected, 90));
        // The label: many pixels of the colour between the capsule's ends.
        int labelPixels = 0;
        for (int y = 5; y < 23; ++y)
            for (int x = 10; x < 110; ++x)
                labelPixels += near(image.pixel(x, y), expected, 60);
        QVERIFY2(labelPixels > 20, qPrintable(QString::number(labelPixels)));
        QCOMPARE(cell.backgroundStyle(), selected ? 1 : 0);
    }

    void tableShowsTheRecordsUnreadInBold()
    {
        WindowController controller(m_manager.get());
        controller.window();
        QTableView* table = controller.tableView();
        QVERIFY(table);
        QCOMPARE(table->model()->rowCount(), 0);

        // A first list is taken as read; a second with one new record has one unread row.
        const Information old = makeInformation(QStringLiteral("Old"), QStringLiteral("info"));
        m_manager->setInformations(std::make_shared<const QList<Information>>(QList<Information>{old}));
        const Information fresh = makeInformation(QStringLiteral("Fresh"), QStringLiteral("news"),
                                                  QStringLiteral("https://example.com/1"));
        m_manager->setInformations(
            std::make_shared<const QList<Information>>(QList<Information>{fresh, old}));

        QAbstractItemModel* model = table->model();
        QCOMPARE(model->rowCount(), 2);
        QCOMPARE(model->columnCount(), 3);
        QCOMPARE(model->index(0, 1).data().toString(), QStringLiteral("Fresh"));
        QCOMPARE(model->index(1, 1).data().toString(), QStringLiteral("Old"));
        QVERIFY(!model->index(0, 2).data().toString().isEmpty());
        QCOMPARE(model->index(1, 0).data(InformationTableModel::ObjectValueRole).value<Information>(), old);
        QCOMPARE(model->index(1, 2).data(InformationTableModel::ObjectValueRole).value<Information>(), old);
        QVERIFY(model->index(0, 1).data(Qt::FontRole).value<QFont>().bold());
        QVERIFY(!model->index(1, 1).data(Qt::FontRole).isValid());
        QVERIFY(qobject_cast<CategoryCellView*>(table->itemDelegateForColumn(0)));

        // Reading it reloads the table; the selection stays on its row.
        table->selectRow(1);
        m_manager->setInformationRead(fresh);
        QVERIFY(!model->index(0, 1).data(Qt::FontRole).isValid());
        QCOMPARE(table->selectionModel()->selectedRows().value(0).row(), 1);
    }

    void openingMarksRead_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<bool>("openSucceeds");
        QTest::addColumn<int>("opened");
        QTest::addColumn<int>("alerts");
        QTest::addColumn<bool>("read");
        QTest::newRow("https") << "https://example.com/a" << true << 1 << 0 << true;
        QTest::newRow("http refused") << "http://example.com/a" << false << 1 << 0 << false;
        QTest::newRow("mailto") << "mailto:news@example.com" << true << 0 << 1 << true;
        QTest::newRow("capital scheme") << "HTTPS://example.com/a" << true << 0 << 1 << true;
        QTest::newRow("no link") << "" << true << 0 << 1 << true;
    }
    void openingMarksRead()
    {
        QFETCH(QString, link);
        QFETCH(bool, openSucceeds);
        QFETCH(int, opened);
        QFETCH(int, alerts);
        QFETCH(bool, read);
        WindowController controller(m_manager.get());
        OpenerLog log;
        log.openSucceeds = openSucceeds;
        controller.setLinkOpener(log.opener());
        controller.window();
        m_manager->setReadItems(QSet<QString>());
        const Information information = makeInformation(QStringLiteral("A title"), QStringLiteral("news"), link);
        m_manager->setInformations(
            std::make_shared<const QList<Information>>(QList<Information>{information}));

        // Nothing selected: nothing happens.
        controller.openLink(nullptr);
        QVERIFY(log.opened.isEmpty() && log.alerts.isEmpty());

        controller.tableView()->selectRow(0);
        controller.openLink(nullptr);
        QCOMPARE(log.opened.size(), opened);
        QCOMPARE(log.alerts.size(), alerts);
        if (alerts)
            QCOMPARE(log.alerts.first(), QStringLiteral("A title"));
        QCOMPARE(m_manager->isInformationRead(information), read);
    }

    // Return and Enter open the selected record; other keys, modifier and dead keys go to the
    // table.
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
        WindowController controller(m_manager.get());
        OpenerLog log;
        controller.setLinkOpener(log.opener());
        controller.window();
        const QList<Information> list{
            makeInformation(QStringLiteral("One"), QStringLiteral("news"), QStringLiteral("https://example.com/1")),
            makeInformation(QStringLiteral("Two"), QStringLiteral("news"), QStringLiteral("https://example.com/2"))};
        m_manager->setInformations(std::make_shared<const QList<Information>>(list));
        QTableView* table = controller.tableView();
        table->selectRow(0);
        table->setCurrentIndex(table->model()->index(0, 1));

        QKeyEvent event(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), text);
        const bool taken = controller.keyDown(&event);
        QCOMPARE(taken, opens);
        QCOMPARE(log.opened.size(), opens ? 1 : 0);

        // Through the table, the way a key press arrives: a key left to the table moves its
        // cursor as usual.
        QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
        QApplication::sendEvent(table, &down);
        QCOMPARE(table->currentIndex().row(), 1);
        QKeyEvent again(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), text);
        QApplication::sendEvent(table, &again);
        QCOMPARE(log.opened.size(), opens ? 2 : 0);
        if (opens)
            QCOMPARE(log.opened.last(), QUrl(QStringLiteral("https://example.com/2")));
    }

    void doubleClickOpens()
    {
        WindowController controller(m_manager.get());
        OpenerLog log;
        controller.setLinkOpener(log.opener());
        controller.showWindow(nullptr);
        m_manager->setInformations(std::make_shared<const QList<Information>>(QList<Information>{
            makeInformation(QStringLiteral("One"), QStringLiteral("news"), QStringLiteral("https://example.com/1"))}));
        QTableView* table = controller.tableView();
        QVERIFY(QTest::qWaitForWindowExposed(controller.window()));
        const QRect row = table->visualRect(table->model()->index(0, 1));
        // The press of the first click picks the row the double-click then opens.
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, row.center());
        QCOMPARE(log.opened.size(), 0);
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, row.center());
        QCOMPARE(log.opened.size(), 1);
        // Empty space below the rows does nothing, even with the row still selected.
        const QPoint below(row.center().x(), row.bottom() + 40);
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, below);
        QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, below);
        QCOMPARE(log.opened.size(), 1);
    }

private:
    std::unique_ptr<InformationManager> m_manager;
};

NEWSBAR_APP_TEST_MAIN(WindowTest)
#include "app_window_test.moc"
