#pragma once

#include <QString>
#include <QStringView>

// The lower-case hexadecimal SHA-256 of the text's UTF-8 bytes (64 digits).
QString sha256Hex(QStringView text);
