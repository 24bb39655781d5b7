#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace testsupport {

// A short HTTP Live Streaming video made at test time with ffmpeg from its lavfi test sources:
// H.264 video (160 x 120, 25 frames a second, a key frame every second) and AAC audio, cut into
// one-second MPEG-TS segments named seg000.ts, seg001.ts, ... beside the playlist index.m3u8,
// all in a temporary folder that goes away with the object. Serve Folder() with
// HttpServer::ServeFolder, or hand Playlist() to the converter as a local file.
class HlsFixture {
public:
    explicit HlsFixture(int seconds = 3);
    HlsFixture(const HlsFixture&) = delete;
    HlsFixture& operator=(const HlsFixture&) = delete;

    // False when ffmpeg could not make the stream; Error() then says why.
    bool Ok() const { return FError.isEmpty(); }
    QString Error() const { return FError; }

    QString Folder() const { return FDir.path(); }
    QString Playlist() const { return FDir.filePath(QStringLiteral("index.m3u8")); }
    int Seconds() const { return FSeconds; }
    // How many segment files the playlist names.
    int SegmentCount() const { return FSegmentCount; }

    // Copies the playlist, under the name playlistName, and its segments into folder (made with
    // its parents if missing). Returns the copied playlist's path, or an empty text on failure.
    QString CopyTo(const QString& folder, const QString& playlistName) const;

private:
    QTemporaryDir FDir;
    int FSeconds;
    int FSegmentCount = 0;
    QString FError;
};

// What ffprobe reads from a media file.
struct MediaInfo {
    bool ok = false;       // ffprobe read the file
    QStringList codecs;    // codec names of the streams, in stream order ("h264", "aac")
    double duration = 0.0; // the container's duration in seconds
    QString error;         // ffprobe's complaint when !ok
};
MediaInfo Probe(const QString& file);

} // namespace testsupport
