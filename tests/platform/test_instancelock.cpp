#include "platform/instancelock.h"

#include <QFile>
#include <QUuid>

#include <gtest/gtest.h>

TEST(InstanceLock, ASecondCopyIsNeverKeptOut) {
    const QString name =
        QStringLiteral("velmora-test-") + QUuid::createUuid().toString(QUuid::Id128);
    platform::TInstanceLock first(name);
    platform::TInstanceLock second(name);
    EXPECT_TRUE(first.Held());
    EXPECT_TRUE(second.Held());
    EXPECT_EQ(first.Path(), second.Path());
    QFile::remove(first.Path());
}
