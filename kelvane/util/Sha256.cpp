#include "Sha256.h"

#include <QCryptographicHash>

QString sha256Hex(QStringView text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex());
}
