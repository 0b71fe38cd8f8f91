// make bench: parse and render throughput and the parsed document's memory on a generated 10 MB
// .env file, next to the dotenv npm package's parse of the same file. The last line is the ratio
// kelvane_parse_MBps / dotenv_parse_MBps.
#include "document/EnvParser.h"
#include "document/EnvRenderer.h"
#include "util/FileIO.h"

#include "BenchTiming.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <malloc.h>
#include <sys/resource.h>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// A realistic file: sections with comment headers, plain and quoted values (some with "#"),
// inline comments, export, commented-out entries, dotenvx ciphertexts, non-ASCII text.
QByteArray generateEnvFile(qsizetype targetBytes)
{
    QRandomGenerator random(42);
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    auto token = [&](int length) {
        QByteArray text(length, Qt::Uninitialized);
        for (char &c : text)
            c = alphabet[random.bounded(62)];
        return text;
    };
    static const char *const areas[] = {"DATABASE", "REDIS", "STRIPE", "AUTH", "MAIL", "S3", "SENTRY", "FEATURE", "API", "CACHE"};
    static const char *const texts[] = {"Grüße aus Zürich", "안녕하세요 세계", "こんにちは", "Ünïcödé ✓", "emoji 🔑 key", "São Paulo"};
    QByteArray out;
    out.reserve(targetBytes + 4096);
    out += "#/-------------------[DOTENV_PUBLIC_KEY]--------------------/\n"
           "#/            public-key encryption for .env files          /\n"
           "#/----------------------------------------------------------/\n"
           "DOTENV_PUBLIC_KEY=\"03" + token(64) + "\"\n\n";
    for (int section = 0; out.size() < targetBytes; ++section) {
        const QByteArray area = areas[section % 10];
        out += "# " + area + " settings, part " + QByteArray::number(section) + "\n";
        if (random.bounded(2))
            out += "# Values used by the " + area.toLower() + " client; see the runbook.\n";
        const int count = int(random.bounded(6, 16));
        for (int i = 0; i < count; ++i) {
            const QByteArray key = area + '_' + token(int(random.bounded(3, 10))).toUpper() + '_' + QByteArray::number(i);
            switch (random.bounded(10)) {
            case 0: out += "export " + key + '=' + token(int(random.bounded(8, 24))) + '\n'; break;
            case 1: out += "# " + key + "=" + token(12) + '\n'; break;
            case 2: out += key + "=\"value with # hash " + token(8) + "\"\n"; break;
            case 3: out += key + '=' + token(16) + " # rotated " + QByteArray::number(2020 + i) + '\n'; break;
            case 4: out += key + "=\"encrypted:" + token(int(random.bounded(100, 180))) + "==\"\n"; break;
            case 5: out += key + "=\"" + texts[random.bounded(6)] + "\"\n"; break;
            case 6: out += key + "_URL=postgres://app:" + token(10) + "@db" + QByteArray::number(i) + ".internal:5432/app\n"; break;
            default: out += key + '=' + token(int(random.bounded(6, 40))) + '\n'; break;
            }
        }
        out += '\n';
    }
    return out;
}

size_t heapInUse()
{
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QString dotenvScript;
    const QStringList arguments = app.arguments();
    const qsizetype scriptOption = arguments.indexOf(u"--dotenv-script"_s);
    if (scriptOption >= 0 && scriptOption + 1 < arguments.size())
        dotenvScript = arguments[scriptOption + 1];

    QTemporaryDir dir;
    const QString path = dir.filePath(u".env"_s);
    if (FileIO::writeAtomically(path, generateEnvFile(10'000'000)))
        qFatal("cannot write the benchmark file");
    const QByteArray bytes = FileIO::readAll(path).value();
    const double megabytes = double(bytes.size()) / 1e6;
    std::printf("file: %.2f MB generated .env\n", megabytes);

    QString text = QString::fromUtf8(bytes);
    qsizetype entryCount = 0;
    // The first parse of the process meets a cold allocator (fresh pages); the best of several
    // is what repeated parses of a large file (the raw editor) see.
    const double coldSeconds = bestSeconds(1, [&] { entryCount = EnvParser::parse(text).entries.size(); });
    const double parseSeconds = bestSeconds(7, [&] { entryCount = EnvParser::parse(text).entries.size(); });
    const double loadSeconds = bestSeconds(5, [&] { (void)EnvParser::load(path).value(); });

    const EnvDocument document = EnvParser::parse(text);
    QString rendered;
    const double renderSeconds = bestSeconds(7, [&] { rendered = EnvRenderer::render(document); });
    if (rendered.isEmpty())
        qFatal("nothing rendered");

    // The document's own memory: heap in use with and without it, the input text freed.
    text.clear();
    text.squeeze();
    rendered.clear();
    rendered.squeeze();
    ::malloc_trim(0);
    const size_t before = heapInUse();
    size_t documentBytes = 0;
    {
        const EnvDocument measured = EnvParser::load(path).value();
        documentBytes = heapInUse() - before;
        if (measured.entries.size() != entryCount)
            qFatal("entry count changed");
    }
    struct rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);

    const double parseMBps = megabytes / parseSeconds;
    std::printf("entries: %lld, lines: %lld\n", qlonglong(entryCount), qlonglong(document.layout.size()));
    std::printf("kelvane_parse_MBps %.1f (first parse of the process: %.1f)\n", parseMBps, megabytes / coldSeconds);
    std::printf("kelvane_load_MBps %.1f (read + UTF-8 decode + parse)\n", megabytes / loadSeconds);
    std::printf("kelvane_render_MBps %.1f\n", megabytes / renderSeconds);
    std::printf("document_memory_MB %.1f (%.2f x file size)\n", double(documentBytes) / 1e6,
                double(documentBytes) / double(bytes.size()));
    std::printf("peak_rss_MB %.1f\n", double(usage.ru_maxrss) / 1024.0);

    if (dotenvScript.isEmpty()) {
        std::printf("dotenv not measured (pass --dotenv-script bench/dotenv_parse.js)\n");
        return 0;
    }
    QProcess node;
    node.start(u"node"_s, {dotenvScript, path});
    if (!node.waitForFinished(600000) || node.exitCode() != 0) {
        std::fprintf(stderr, "dotenv benchmark failed: %s\n", node.readAllStandardError().constData());
        return 1;
    }
    const QList<QByteArray> words = node.readAllStandardOutput().trimmed().split(' ');
    const double dotenvMBps = words.size() >= 2 ? words[1].toDouble() : 0.0;
    std::printf("dotenv_parse_MBps %.1f\n", dotenvMBps);
    std::printf("kelvane_render_MBps / dotenv_parse_MBps = %.2f\n", megabytes / renderSeconds / dotenvMBps);
    std::printf("kelvane_parse_MBps / dotenv_parse_MBps = %.2f\n", parseMBps / dotenvMBps);
    return 0;
}
