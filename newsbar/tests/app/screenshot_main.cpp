// Writes a PNG of an X window (or of the whole screen) for the end-to-end test's artefacts:
//   newsbar_app_screenshot OUT.png [WINDOW_ID]
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    if (argc < 2 || argc > 3) {
        std::fputs("usage: newsbar_app_screenshot OUT.png [WINDOW_ID]\n", stderr);
        return 2;
    }
    bool ok = true;
    const WId window = argc == 3 ? QString::fromLatin1(argv[2]).toULongLong(&ok, 0) : 0;
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!ok || !screen) {
        std::fputs("newsbar_app_screenshot: bad window id or no screen\n", stderr);
        return 2;
    }
    const QPixmap shot = screen->grabWindow(window);
    if (shot.isNull() || !shot.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "newsbar_app_screenshot: could not grab or write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
