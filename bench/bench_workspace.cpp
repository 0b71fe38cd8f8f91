// make bench: the cost of one keystroke in a value field (updateValue, with the list-model signals
// a view receives) and of loading the file, for documents of 1,000, 10,000 and 100,000 entries.
// The last line is the median keystroke at 100,000 entries, in milliseconds.
#include "workspace/AppModel.h"
#include "util/FileIO.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

QByteArray documentWith(int entries)
{
    QByteArray text;
    for (int i = 0; i < entries; ++i) {
        if (i % 20 == 0)
            text += "\n# Section " + QByteArray::number(i / 20) + "\n";
        text += "KEY_" + QByteArray::number(i) + "=value-" + QByteArray::number(i * 7919) + (i % 5 == 0 ? " # note\n" : "\n");
    }
    return text;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    double lastKeystroke = 0;
    for (const int size : {1000, 10000, 100000}) {
        QTemporaryDir dir;
        const QString project = dir.path() + u"/project"_s;
        QDir().mkpath(project);
        if (FileIO::writeAtomically(project + u"/.env"_s, documentWith(size)))
            qFatal("cannot write the benchmark file");
        AppModel model(AppModel::Dependencies{nullptr, nullptr, nullptr, dir.path() + u"/cache"_s});
        model.addProject(project);
        int rowSignals = 0;
        QObject::connect(model.entryModel(), &QAbstractItemModel::dataChanged, [&] { ++rowSignals; });

        QList<double> loads;
        for (int i = 0; i < 5; ++i) {
            QElapsedTimer timer;
            timer.start();
            model.loadSelectedFile();
            loads << double(timer.nsecsElapsed()) / 1e6;
        }
        // Keystrokes into an entry in the middle of the file, as a user types a value.
        const QUuid id = model.entries()[model.entries().size() / 2].id;
        QString value = u"typed"_s;
        QList<double> keystrokes;
        for (int i = 0; i < 200; ++i) {
            value += QChar(u'a' + i % 26);
            QElapsedTimer timer;
            timer.start();
            model.updateValue(id, value);
            keystrokes << double(timer.nsecsElapsed()) / 1e6;
        }
        QElapsedTimer renderTimer;
        renderTimer.start();
        const qsizetype rendered = model.rawText().size();
        const double renderMs = double(renderTimer.nsecsElapsed()) / 1e6;
        lastKeystroke = median(keystrokes);
        std::printf("%6d entries: keystroke median %.3f ms, load median %.1f ms, raw text render %.1f ms (%lld chars), %d row signals\n",
                    size, lastKeystroke, median(loads), renderMs, qlonglong(rendered), rowSignals);
    }
    std::printf("keystroke_ms_at_100000_entries %.3f\n", lastKeystroke);
    return 0;
}
