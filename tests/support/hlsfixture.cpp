#include "support/hlsfixture.h"

#include "platform/cmdline.h"
#include "platform/process.h"
#include "platform/syserror.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

namespace testsupport {

namespace {

// Runs a tool to its end; returns its merged output, or sets error. Started through our own
// spawner (posix_spawn, no fork): after a fork ThreadSanitizer no longer sees the test's locks.
QByteArray RunTool(const QString& program, const QStringList& arguments, QString& error) {
    QTemporaryFile output;
    if (!output.open()) {
        error = QStringLiteral("no temporary file: ") + output.errorString();
        return {};
    }
    QString commandLine = program;
    for (const QString& argument : arguments)
        commandLine += QLatin1Char(' ') + platform::QuoteArgument(argument);
    platform::TChildStartup startup;
    startup.CommandLine = commandLine;
    startup.StdOut = output.handle();
    startup.StdErr = output.handle();
    platform::TChildProcess child;
    if (const int failure = child.Start(startup)) {
        error = program + QStringLiteral(": ") + platform::SysErrorMessage(failure);
        return {};
    }
    if (!child.WaitForExit(60000)) {
        child.Kill();
        child.WaitForExit(-1);
        error = program + QStringLiteral(" did not finish");
        return {};
    }
    const std::uint32_t exitCode = child.ExitCode();
    output.seek(0);
    const QByteArray bytes = output.readAll();
    if (exitCode != 0)
        error = program + QStringLiteral(" failed: ") + QString::fromLocal8Bit(bytes);
    return bytes;
}

} // namespace

HlsFixture::HlsFixture(int seconds) : FSeconds(seconds) {
    if (!FDir.isValid()) {
        FError = QStringLiteral("no temporary folder: ") + FDir.errorString();
        return;
    }
    const QStringList arguments{QStringLiteral("-hide_banner"),
                                QStringLiteral("-loglevel"),
                                QStringLiteral("error"),
                                QStringLiteral("-nostdin"),
                                QStringLiteral("-f"),
                                QStringLiteral("lavfi"),
                                QStringLiteral("-i"),
                                QStringLiteral("testsrc=size=160x120:rate=25"),
                                QStringLiteral("-f"),
                                QStringLiteral("lavfi"),
                                QStringLiteral("-i"),
                                QStringLiteral("sine=frequency=440:sample_rate=44100"),
                                QStringLiteral("-t"),
                                QString::number(seconds),
                                QStringLiteral("-c:v"),
                                QStringLiteral("libx264"),
                                QStringLiteral("-preset"),
                                QStringLiteral("ultrafast"),
                                QStringLiteral("-pix_fmt"),
                                QStringLiteral("yuv420p"),
                                QStringLiteral("-g"),
                                QStringLiteral("25"),
                                QStringLiteral("-c:a"),
                                QStringLiteral("aac"),
                                QStringLiteral("-b:a"),
                                QStringLiteral("48k"),
                                QStringLiteral("-f"),
                                QStringLiteral("hls"),
                                QStringLiteral("-hls_time"),
                                QStringLiteral("1"),
                                QStringLiteral("-hls_list_size"),
                                QStringLiteral("0"),
                                QStringLiteral("-hls_playlist_type"),
                                QStringLiteral("vod"),
                                QStringLiteral("-hls_segment_filename"),
                                FDir.filePath(QStringLiteral("seg%03d.ts")),
                                Playlist()};
    RunTool(QStringLiteral("ffmpeg"), arguments, FError);
    if (!FError.isEmpty())
        return;
    FSegmentCount = static_cast<int>(
        QDir(FDir.path()).entryList({QStringLiteral("seg*.ts")}, QDir::Files).size());
    if (FSegmentCount < 2)
        FError = QStringLiteral("ffmpeg made %1 segments").arg(FSegmentCount);
}

QString HlsFixture::CopyTo(const QString& folder, const QString& playlistName) const {
    if (!QDir().mkpath(folder))
        return {};
    const QDir target(folder);
    const QStringList segments =
        QDir(FDir.path()).entryList({QStringLiteral("seg*.ts")}, QDir::Files);
    for (const QString& segment : segments) {
        if (!QFile::copy(FDir.filePath(segment), target.filePath(segment)))
            return {};
    }
    const QString playlist = target.filePath(playlistName);
    if (!QFile::copy(Playlist(), playlist))
        return {};
    return playlist;
}

MediaInfo Probe(const QString& file) {
    MediaInfo info;
    if (!QFileInfo(file).isFile()) {
        info.error = QStringLiteral("no such file: ") + file;
        return info;
    }
    const QByteArray output =
        RunTool(QStringLiteral("ffprobe"),
                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                 QStringLiteral("stream=codec_name:format=duration"), QStringLiteral("-of"),
                 QStringLiteral("default=nw=1"), file},
                info.error);
    if (!info.error.isEmpty())
        return info;
    bool haveDuration = false;
    for (const QByteArray& line : output.split('\n')) {
        const QByteArray text = line.trimmed();
        if (text.startsWith("codec_name="))
            info.codecs << QString::fromLatin1(text.mid(11));
        else if (text.startsWith("duration="))
            info.duration = text.mid(9).toDouble(&haveDuration);
    }
    info.ok = haveDuration;
    if (!info.ok)
        info.error = QStringLiteral("ffprobe gave no duration: ") + QString::fromLocal8Bit(output);
    return info;
}

} // namespace testsupport
