// Helper for the crash-safety test: edits the open file of a project and lets it autosave, over
// and over, until it is killed. Every version it saves is "COUNTER=n" and a padding line that
// depends on n, so a reader can tell a complete version from a torn one.
#include "workspace/AppModel.h"

#include <QCoreApplication>
#include <QTest>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    AppModel model(AppModel::Dependencies{nullptr, nullptr, nullptr, QString()});
    model.addProject(QString::fromLocal8Bit(argv[1]));
    std::fprintf(stdout, "ready\n");
    std::fflush(stdout);
    for (qint64 n = 1;; ++n) {
        for (const EditableEnvEntry &entry : model.entries()) {
            if (entry.key == QLatin1StringView("COUNTER"))
                model.updateValue(entry.id, QString::number(n));
            else if (entry.key == QLatin1StringView("PAD"))
                model.updateValue(entry.id, QString(int(1000 + n % 7 * 20000), QChar(u'a' + int(n % 26))));
        }
        while (model.isSaving())
            QTest::qWait(5);
    }
}
