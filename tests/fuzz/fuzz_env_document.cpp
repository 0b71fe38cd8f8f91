// Parse + render over arbitrary input. Besides the sanitizers' own checks it holds the promises
// the editor makes about a user's file:
//  - every preserved line is the input line it came from, unchanged;
//  - rendering is idempotent: render(parse(render(parse(t)))) == render(parse(t));
//  - a text without entries is written back as it was (a file of one line feed, which becomes
//    empty, is the one exception).
#include "document/EnvParser.h"
#include "document/EnvRenderer.h"

#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *what, const QString &text)
{
    std::fprintf(stderr, "property violated: %s\ninput (UTF-8): %s\n", what, text.toUtf8().toHex().constData());
    std::abort();
}

// The lines as the parser cuts them: at every line feed not preceded by a carriage return.
QStringList linesOf(const QString &text)
{
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r')) {
            lines << text.sliced(start, i - start);
            start = i + 1;
        }
    }
    lines << text.sliced(start);
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const EnvDocument document = EnvParser::parse(text);

    QStringList lines = linesOf(text);
    if (document.hadTrailingNewline)
        lines.removeLast();
    if (document.layout.size() != lines.size())
        fail("one layout item per line", text);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const auto *preserved = document.layout[i].asPreserved();
        if (preserved && preserved->text != lines[i])
            fail("preserved line unchanged", text);
    }

    const QString rendered = EnvRenderer::render(document);
    if (EnvRenderer::render(EnvParser::parse(rendered)) != rendered)
        fail("rendering is idempotent", text);
    if (document.entries.isEmpty() && text != u"\n" && rendered != text)
        fail("text without entries renders to itself", text);
    return 0;
}
