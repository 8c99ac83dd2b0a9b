#include "app/AppSettings.h"

#include <memory>

#include <QSettings>

namespace {

QString gTestFile;

std::unique_ptr<QSettings> Open()
{
    if (!gTestFile.isEmpty())
        return std::make_unique<QSettings>(gTestFile, QSettings::IniFormat);
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("keelvane"),
                                       QStringLiteral("keelvane"));
}

}  // namespace

TJobChoices LoadJobChoices()
{
    const auto s = Open();
    const TJobChoices defaults;
    TJobChoices c;
    c.Verify = s->value(QStringLiteral("burn/verify"), defaults.Verify).toBool();
    c.Simulate = s->value(QStringLiteral("burn/simulate"), defaults.Simulate).toBool();
    c.Eject = s->value(QStringLiteral("burn/eject"), defaults.Eject).toBool();
    c.KeepSessionOpen = s->value(QStringLiteral("burn/keep-session-open"), defaults.KeepSessionOpen).toBool();
    const uint speed = s->value(QStringLiteral("burn/speed"), defaults.Speed).toUInt();
    // A value no drive offers is a damaged file, not a speed: the drive's best then.
    c.Speed = speed <= 100 ? speed : 0;
    return c;
}

void SaveJobChoices(const TJobChoices& c)
{
    const auto s = Open();
    s->setValue(QStringLiteral("burn/verify"), c.Verify);
    s->setValue(QStringLiteral("burn/simulate"), c.Simulate);
    s->setValue(QStringLiteral("burn/eject"), c.Eject);
    s->setValue(QStringLiteral("burn/keep-session-open"), c.KeepSessionOpen);
    s->setValue(QStringLiteral("burn/speed"), c.Speed);
}

QString LoadLastImage()
{
    return Open()->value(QStringLiteral("image/last")).toString();
}

void SaveLastImage(const QString& Path)
{
    Open()->setValue(QStringLiteral("image/last"), Path);
}

void UseSettingsFile(const QString& Path)
{
    gTestFile = Path;
}
