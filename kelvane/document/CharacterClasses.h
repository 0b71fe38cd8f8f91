#pragma once

#include <QStringView>

// The three character classes that every trim in the document and workspace code names.
namespace CharacterClasses {

// U+0009 and the Unicode space separators (general category Zs).
constexpr bool isBlank(char32_t c)
{
    if (c < 0x80)
        return c == 0x09 || c == 0x20;
    return c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F
            || c == 0x3000;
}

// Line terminators as regular expressions see them: "." never matches one.
constexpr bool isLineTerminator(char32_t c)
{
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// The blank characters plus U+000A-U+000D, U+0085, U+2028 and U+2029.
constexpr bool isBlankOrNewline(char32_t c)
{
    return isBlank(c) || isLineTerminator(c);
}

// The Unicode White_Space property. (It holds the same characters as the class above; the two
// names say which rule a caller follows.)
constexpr bool isWhiteSpace(char32_t c)
{
    return isBlank(c) || isLineTerminator(c);
}

// Trimming by code unit is exact here: every character of these classes is in the BMP.
template <typename Predicate>
QStringView trimmed(QStringView s, Predicate isTrimmed)
{
    qsizetype begin = 0;
    qsizetype end = s.size();
    while (begin < end && isTrimmed(s[begin].unicode()))
        ++begin;
    while (end > begin && isTrimmed(s[end - 1].unicode()))
        --end;
    return s.sliced(begin, end - begin);
}

inline QStringView trimmedBlank(QStringView s)
{
    return trimmed(s, isBlank);
}

inline QStringView trimmedBlankAndNewline(QStringView s)
{
    return trimmed(s, isBlankOrNewline);
}

} // namespace CharacterClasses
