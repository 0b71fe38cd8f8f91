#include "EnvDocument.h"

#include "CharacterClasses.h"

#include <QRandomGenerator>

#include <array>

std::optional<QString> EncryptionState::storedCiphertext() const
{
    return std::visit(
            [](const auto &state) -> std::optional<QString> {
                if constexpr (std::is_same_v<std::decay_t<decltype(state)>, Plain>)
                    return std::nullopt;
                else
                    return state.ciphertext;
            },
            m_value);
}

EditableEnvEntry EditableEnvEntry::blank()
{
    EditableEnvEntry entry;
    entry.id = EnvDocument::makeID();
    return entry;
}

namespace {

bool isKeyPairName(QStringView key, QStringView name)
{
    key = CharacterClasses::trimmedBlank(key);
    if (!key.startsWith(name))
        return false;
    return key.size() == name.size() || key[name.size()] == u'_';
}

} // namespace

bool EditableEnvEntry::isDotenvxPublicKeyEntry() const
{
    return isKeyPairName(key, u"DOTENV_PUBLIC_KEY");
}

bool EditableEnvEntry::isDotenvxPrivateKeyEntry() const
{
    return isKeyPairName(key, u"DOTENV_PRIVATE_KEY");
}

QUuid EnvDocument::makeID()
{
    // The system generator costs a system call per use, which is noticeable at a hundred thousand
    // entries per parse; these ids are not secrets.
    thread_local QRandomGenerator64 generator = [] {
        std::array<quint32, 8> seed;
        QRandomGenerator::system()->fillRange(seed.data(), seed.size());
        return QRandomGenerator64(seed.data(), qsizetype(seed.size()));
    }();
    std::array<quint64, 2> bits = {generator.generate64(), generator.generate64()};
    QUuid id;
    id.data1 = quint32(bits[0] >> 32);
    id.data2 = quint16(bits[0] >> 16);
    id.data3 = quint16((bits[0] & 0x0FFF) | 0x4000); // version 4
    const quint64 low = (bits[1] & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull; // RFC 4122 variant
    for (int i = 0; i < 8; ++i)
        id.data4[i] = uchar(low >> (56 - 8 * i));
    return id;
}
