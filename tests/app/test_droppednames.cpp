#include "app/droppednames.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

void Touch(const QString& path) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
}

TEST(DroppedNames, OnlyPlaylistFilesWholePath) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QDir d(dir.path());
    // A path far beyond 255 characters is taken whole.
    const QString deep = QStringLiteral("deep/") + QString(200, QLatin1Char('d'));
    ASSERT_TRUE(d.mkpath(deep));
    const QString longPath = d.filePath(deep + QLatin1Char('/') + QString(240, QLatin1Char('n')) +
                                        QStringLiteral(".m3u8"));
    ASSERT_GT(longPath.size(), 400);
    for (const QString& name :
         {QStringLiteral("a.M3U8"), QStringLiteral("b.m3u8"), QStringLiteral("c.m3u"),
          QStringLiteral("noext"), QStringLiteral("x.m3u8.txt")})
        Touch(d.filePath(name));
    Touch(longPath);
    ASSERT_TRUE(d.mkdir(QStringLiteral("folder.m3u8")));
    ASSERT_TRUE(d.mkdir(QStringLiteral("dotted.m3u8dir")));

    const QStringList dropped = {
        d.filePath(QStringLiteral("a.M3U8")),
        d.filePath(QStringLiteral("b.m3u8")),
        d.filePath(QStringLiteral("c.m3u")),
        d.filePath(QStringLiteral("noext")),
        d.filePath(QStringLiteral("x.m3u8.txt")),
        d.filePath(QStringLiteral("folder.m3u8")),
        d.filePath(QStringLiteral("dotted.m3u8dir/name")),
        longPath,
    };
    const QStringList expected = {d.filePath(QStringLiteral("a.M3U8")),
                                  d.filePath(QStringLiteral("b.m3u8")), longPath};
    EXPECT_EQ(DroppedPlaylists(dropped), expected);
}

TEST(DroppedNames, DotInFolderNameIsNoExtension) {
    EXPECT_FALSE(IsDroppedPlaylist(QStringLiteral("/tmp/some.m3u8/playlist")));
    EXPECT_TRUE(IsDroppedPlaylist(QStringLiteral("/no/such/folder/list.m3U8")));
    EXPECT_FALSE(IsDroppedPlaylist(QStringLiteral("/no/such/folder/list.m3u8 ")));
}

} // namespace
