// Stand-in for the program's headless check mode: "newsbar --parse FILE".
#include "feed/parsemode.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 3 || arguments.at(1) != QLatin1String("--parse")) {
        err << "usage: newsbar --parse FILE" << Qt::endl;
        return 2;
    }
    return runParseMode(arguments.at(2), out, err);
}
