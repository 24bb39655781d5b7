// The pipe reader on real pipes, its decoding, and the two shared buffers.
#include "doscommand/readpipe.h"
#include "platform/syserror.h"
#include "support/wait.h"

#include <QBuffer>

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

// A pipe whose ends close with the fixture.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read = fds[0];
            write = fds[1];
        }
    }
    ~Pipe() {
        ::close(read);
        ::close(write);
    }
    void Write(const QByteArray& bytes) const {
        ASSERT_EQ(::write(write, bytes.constData(), bytes.size()), bytes.size());
    }
};

// Records the size of every chunk the reader hands over, then decodes it as the component's
// default decoding does.
struct ChunkLog {
    std::mutex lock;
    std::vector<qint64> sizes;
    TChunkDecoder decoder;
    TReadPipe::TChunkDecoding Hook() {
        return [this](QIODevice& buf) {
            {
                std::lock_guard guard(lock);
                sizes.push_back(buf.size());
            }
            return decoder.Decode(buf);
        };
    }
    std::size_t Count() {
        std::lock_guard guard(lock);
        return sizes.size();
    }
};

} // namespace

TEST(ReadPipe, BigWriteArrivesInChunksOfAtMost1024Bytes) {
    Pipe pipe;
    QByteArray data;
    for (int i = 0; i < 3000; ++i)
        data.append(char('a' + i % 26));
    pipe.Write(data); // already in the pipe when the reader starts
    ChunkLog log;
    TReadPipe reader(pipe.read, pipe.write, log.Hook());
    ASSERT_TRUE(testsupport::WaitUntil([&] { return reader.ReadString().Length() == 3000; }));
    EXPECT_EQ(reader.ReadString().Value(), QString::fromLatin1(data));
    EXPECT_TRUE(platform::WaitForSingle(reader.Event(), 0));
    reader.Terminate();
    reader.WaitFor();
    std::lock_guard guard(log.lock);
    EXPECT_GE(log.sizes.size(), 3u);
    for (qint64 size : log.sizes)
        EXPECT_LE(size, 1024);
}

TEST(ReadPipe, BlockedReadEndsOnTheWakeUpWriteAndDeliversNothing) {
    Pipe pipe;
    ChunkLog log;
    TReadPipe reader(pipe.read, pipe.write, log.Hook());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(reader.Finished());
    reader.Terminate();
    reader.WaitFor();
    EXPECT_TRUE(reader.Finished());
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(reader.ReadString().Length(), 0);
    EXPECT_FALSE(platform::WaitForSingle(reader.Event(), 0));
}

TEST(ReadPipe, CharacterSplitOverTwoReadsArrivesWhole) {
    Pipe pipe;
    ChunkLog log;
    TReadPipe reader(pipe.read, pipe.write, log.Hook());
    const QByteArray euro = QStringLiteral("x\u20ACy").toUtf8(); // x E2 82 AC y
    // The hook sees a chunk before the reader appends its text: wait for the text itself.
    pipe.Write(euro.left(2));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return reader.ReadString().Length() > 0; }));
    EXPECT_EQ(reader.ReadString().Value(), "x"); // the cut character waits for its other bytes
    pipe.Write(euro.mid(2));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return reader.ReadString().Length() > 1; }));
    EXPECT_EQ(log.Count(), 2u);
    EXPECT_EQ(reader.ReadString().Value(), QStringLiteral("x\u20ACy"));
    reader.Terminate();
    reader.WaitFor();
}

TEST(ChunkDecoder, BrokenCharacterCutByAReadLosesNothingAfterIt) {
    // Each chunk's bytes, and the text the chunks must give together: a cut character that turns
    // out broken becomes one replacement character and the line break after it survives.
    struct TCase {
        std::vector<QByteArray> Chunks;
        QString Text;
    };
    const TCase cases[] = {
        {{"a\xC3", "\nb"}, QStringLiteral(u"a\uFFFD\nb")},
        {{"\xE2\x82", "\r\n"}, QStringLiteral(u"\uFFFD\uFFFD\r\n")},
        {{"\xF0", "\x9F\x98", "\x80\n"}, QStringLiteral(u"\U0001F600\n")},
        {{"\xEF\xBB\xBFx"}, QStringLiteral(u"\uFEFFx")},
    };
    for (const TCase& c : cases) {
        TChunkDecoder decoder;
        QString text;
        for (QByteArray chunk : c.Chunks) {
            QBuffer buffer(&chunk);
            buffer.open(QIODevice::ReadOnly);
            text += decoder.Decode(buffer);
        }
        EXPECT_EQ(text, c.Text) << c.Chunks.front().toHex().constData();
    }
}

TEST(ReadPipe, DrainingReadsWhatIsLeftAndEnds) {
    Pipe pipe;
    ChunkLog log;
    TReadPipe reader(pipe.read, pipe.write, log.Hook());
    pipe.Write(QByteArray(5000, 'z'));
    reader.FinishDraining(std::chrono::seconds(5));
    reader.WaitFor(); // ends by itself once the pipe is empty, although a writer is still open
    EXPECT_EQ(reader.ReadString().Length(), 5000);
    reader.Terminate(); // after the end: no wake-up bytes are written
    char byte;
    ::fcntl(pipe.read, F_SETFL, O_NONBLOCK);
    EXPECT_LT(::read(pipe.read, &byte, 1), 0);
}

TEST(ReadPipe, DecodingErrorEndsOnlyTheReader) {
    Pipe pipe;
    TReadPipe reader(pipe.read, pipe.write, [](QIODevice&) -> QString {
        throw EAssertionFailed(QStringLiteral("decoding failed"));
    });
    pipe.Write("abc");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return reader.Finished(); }));
    EXPECT_EQ(platform::ExceptionMessage(reader.FatalException()), "decoding failed");
    pipe.Write("more"); // nobody reads; nothing breaks
    reader.Terminate();
    reader.WaitFor();
    EXPECT_EQ(reader.ReadString().Length(), 0);
}

TEST(SyncString, TextAppendedBetweenReadAndDeleteSurvives) {
    TSyncString s;
    s.Add("abc");
    const QString batch = s.Value();
    s.Add("d"); // the reader appends while the worker holds its copy
    s.Delete(1, batch.size());
    EXPECT_EQ(s.Value(), "d");
    s.Delete(1, 100); // beyond the end: cut to the end
    EXPECT_EQ(s.Length(), 0);
    s.SetValue("xyz");
    s.Delete(2, 1);
    EXPECT_EQ(s.Value(), "xz");
}

TEST(InputLines, AddReturnsTheIndexAndWakesTheWaiter) {
    TInputLines lines;
    std::atomic<int> wakes{0};
    std::thread waiter([&] {
        for (int i = 0; i < 2; ++i) {
            platform::WaitForSingle(lines.Event());
            ++wakes;
        }
    });
    EXPECT_EQ(lines.Add("_first"), 0);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return wakes.load() == 1; }));
    EXPECT_EQ(lines.Add(" second"), 1);
    waiter.join();
    EXPECT_EQ(lines.Count(), 2);
    EXPECT_EQ(lines.get_Strings(1), " second");
    lines.set_Strings(0, "_changed");
    lines.Delete(1);
    EXPECT_EQ(lines.LockList(), QStringList{"_changed"});
    lines.UnlockList();
}
