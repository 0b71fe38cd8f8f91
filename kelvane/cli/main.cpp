#include "CommandLine.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelvane-cli"));
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return CommandLine::run(arguments, stdout, stderr);
}
