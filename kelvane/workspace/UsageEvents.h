#pragma once

#include <QString>
#include <QVariantMap>

// Where the workspace reports anonymous usage events (names and properties from the event
// catalogue: counts, flags and fixed codes, never a path, key or value). The analytics client
// implements it; tests record the calls.
class UsageEvents
{
public:
    virtual ~UsageEvents() = default;
    virtual void capture(const QString &name, const QVariantMap &properties) = 0;
};

// Sends nothing.
class NoUsageEvents : public UsageEvents
{
public:
    void capture(const QString &, const QVariantMap &) override {}
};
