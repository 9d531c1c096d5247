// Writes a PNG of an X window (or of the whole screen) for the end-to-end test's artefacts:
//   newsbar_app_screenshot OUT.png [WINDOW_ID]
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    bool ok = argc == 2 || argc == 3;
    const WId window = argc == 3 ? QString::fromLatin1(argv[2]).toULongLong(&ok, 0) : 0;
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!ok || !screen || !screen->grabWindow(window).save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fputs("usage: newsbar_app_screenshot OUT.png [WINDOW_ID] (with a screen)\n", stderr);
        return 1;
    }
    return 0;
}
