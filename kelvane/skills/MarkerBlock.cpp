#include "MarkerBlock.h"

#include "document/CharacterClasses.h"
#include "util/FileIO.h"
#include "util/Paths.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

QString MarkerBlock::block(const QString &body, const QString &id)
{
    return u"<!-- "_s + id + u":start (managed by Quorvalent.app, do not edit) -->\n"_s
            + CharacterClasses::trimmedBlankAndNewline(body).toString() + u"\n<!-- "_s + id + u":end -->"_s;
}

namespace {

// A line feed at the end that is not the second half of a CR LF pair (which counts as one line
// break of its own kind).
bool endsWithLineFeeds(const QString &text, int count)
{
    const QString feeds(count, u'\n');
    return text.endsWith(feeds) && !text.endsWith(u'\r' + feeds);
}

} // namespace

MarkerBlock::UpsertResult MarkerBlock::upsert(const QString &existing, const QString &body, const QString &id)
{
    const QString newBlock = block(body, id);
    const QString escaped = QRegularExpression::escape(id);
    const QRegularExpression startComment(u"<!--\\s*"_s + escaped + u":start[^>]*-->"_s,
                                          QRegularExpression::UseUnicodePropertiesOption);
    const QRegularExpression endComment(u"<!--\\s*"_s + escaped + u":end\\s*-->"_s,
                                        QRegularExpression::UseUnicodePropertiesOption);
    // The block ends at the first end comment that has a start comment before it, and starts at
    // the start comment nearest to it: a stray start comment further up (an old block whose end
    // was deleted) and the user's lines after it are not swallowed.
    if (startComment.isValid() && endComment.isValid()) {
        for (QRegularExpressionMatch end = endComment.match(existing); end.hasMatch();
             end = endComment.match(existing, end.capturedEnd())) {
            const qsizetype endStart = end.capturedStart();
            for (qsizetype at = endStart > 0 ? existing.lastIndexOf(u"<!--", endStart - 1) : -1; at >= 0;
                 at = at > 0 ? existing.lastIndexOf(u"<!--", at - 1) : -1) {
                const QRegularExpressionMatch start =
                        startComment.match(existing, at, QRegularExpression::NormalMatch, QRegularExpression::AnchorAtOffsetMatchOption);
                if (start.hasMatch() && start.capturedEnd() <= endStart) {
                    QString text = existing;
                    text.replace(at, end.capturedEnd() - at, newBlock);
                    return {text, Action::replaced};
                }
            }
        }
    }
    if (existing.isEmpty())
        return {newBlock + u'\n', Action::created};
    const QString separator = endsWithLineFeeds(existing, 2) ? QString() : endsWithLineFeeds(existing, 1) ? u"\n"_s : u"\n\n"_s;
    return {existing + separator + newBlock + u'\n', Action::created};
}

std::optional<IoError> InstallWriter::writeDedicated(const QString &path, const QString &content)
{
    if (const std::optional<IoError> error = FileIO::makeDirectories(Paths::parent(path).toString()))
        return error;
    return FileIO::writeAtomically(path, content.toUtf8());
}

Result<MarkerBlock::Action> InstallWriter::upsertMarker(const QString &path, const QString &content, const QString &id)
{
    if (const std::optional<IoError> error = FileIO::makeDirectories(Paths::parent(path).toString()))
        return *error;
    QString existing;
    const Result<QString> current = FileIO::readUtf8(path);
    if (current)
        existing = current.value();
    else if (current.error().code != ENOENT)
        return current.error();
    const MarkerBlock::UpsertResult result = MarkerBlock::upsert(existing, content, id);
    if (const std::optional<IoError> error = FileIO::writeAtomically(path, result.text.toUtf8()))
        return *error;
    return result.action;
}
