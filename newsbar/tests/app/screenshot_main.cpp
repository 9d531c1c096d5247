// Writes an image of an X window (or of the whole screen) for the end-to-end test: a PNG to
// look at, or a PPM whose pixels the test reads.
//   newsbar_app_screenshot OUT.png|OUT.ppm [WINDOW_ID]
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
    if (!ok || !screen || !screen->grabWindow(window).save(QString::fromLocal8Bit(argv[1]))) {
        std::fputs("usage: newsbar_app_screenshot OUT.png|OUT.ppm [WINDOW_ID] (with a screen)\n", stderr);
        return 1;
    }
    return 0;
}
