#include "doscommand/readpipe.h"

#include "platform/syserror.h"

#include <QBuffer>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

// --- TChunkDecoder

// Stateless: Qt's own carrying of a cut character from one call to the next drops the byte
// after a cut sequence that turns out broken ("\xC3" then "(" gives one replacement character
// and no "("), so a line break there would vanish. The cut-off bytes are kept here instead.
TChunkDecoder::TChunkDecoder()
    : FDecoder(QStringConverter::System,
               QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom) {}

void TChunkDecoder::Reset() {
    FPending.clear();
}

namespace {

// How many bytes at the end of the text begin a character that the text cuts off: a lead byte
// within the last three bytes, followed only by continuation bytes, fewer than it announces.
qsizetype CutCharacterLength(QByteArrayView ABytes) {
    const qsizetype size = ABytes.size();
    for (qsizetype back = 1; back <= 3 && back <= size; ++back) {
        const auto b = static_cast<uchar>(ABytes[size - back]);
        if ((b & 0xC0) == 0x80)
            continue; // a continuation byte: the lead lies further back
        qsizetype length = 0;
        if (b >= 0xC2 && b <= 0xDF)
            length = 2;
        else if (b >= 0xE0 && b <= 0xEF)
            length = 3;
        else if (b >= 0xF0 && b <= 0xF4)
            length = 4;
        return length > back ? back : 0;
    }
    return 0;
}

} // namespace

QString TChunkDecoder::DecodeBytes(QByteArrayView ABytes) {
    QByteArray joined;
    if (!FPending.isEmpty()) {
        joined.reserve(FPending.size() + ABytes.size());
        joined.append(FPending).append(ABytes);
        ABytes = joined;
    }
    const qsizetype cut = CutCharacterLength(ABytes);
    QString text = FDecoder.decode(ABytes.first(ABytes.size() - cut));
    FPending = ABytes.last(cut).toByteArray();
    return text;
}

QString TChunkDecoder::Decode(QIODevice& ABuf) {
    const qint64 size = ABuf.size();
    if (size < 1)
        return {};
    // The reader hands a QBuffer: decode its bytes where they are.
    if (const auto* buffer = qobject_cast<const QBuffer*>(&ABuf))
        return DecodeBytes(buffer->data());
    ABuf.seek(0);
    return DecodeBytes(ABuf.read(size));
}

// --- TSyncString

void TSyncString::Add(const QString& AValue) {
    std::lock_guard lock(FLock);
    FValue += AValue;
}

void TSyncString::Delete(qsizetype APos, qsizetype ACount) {
    std::lock_guard lock(FLock);
    const qsizetype start = APos - 1;
    if (start < 0 || start >= FValue.size() || ACount <= 0)
        return;
    if (start == 0 && ACount >= FValue.size()) {
        // All of it: drop the buffer rather than shift it, so that the next Add can take the
        // appended text over without copying it.
        FValue = QString();
        return;
    }
    FValue.remove(start, std::min(ACount, FValue.size() - start));
}

qsizetype TSyncString::Length() const {
    std::lock_guard lock(FLock);
    return FValue.size();
}

QString TSyncString::Value() const {
    std::lock_guard lock(FLock);
    return FValue;
}

void TSyncString::SetValue(const QString& AValue) {
    std::lock_guard lock(FLock);
    FValue = AValue;
}

// --- TInputLines

TInputLines::TInputLines() = default;

TInputLines::~TInputLines() {
    std::lock_guard lock(FLock);
    FList.clear();
}

qsizetype TInputLines::Add(const QString& AValue) {
    qsizetype index;
    {
        QStringList& list = LockList();
        list.append(AValue);
        index = list.size() - 1;
        UnlockList();
    }
    FEvent.SetEvent();
    return index;
}

qsizetype TInputLines::Count() {
    const qsizetype count = LockList().size();
    UnlockList();
    return count;
}

void TInputLines::Delete(qsizetype AIndex) {
    QStringList& list = LockList();
    if (AIndex >= 0 && AIndex < list.size())
        list.removeAt(AIndex);
    UnlockList();
}

QString TInputLines::get_Strings(qsizetype AIndex) {
    QStringList& list = LockList();
    QString value = AIndex >= 0 && AIndex < list.size() ? list.at(AIndex) : QString();
    UnlockList();
    return value;
}

void TInputLines::set_Strings(qsizetype AIndex, const QString& AValue) {
    QStringList& list = LockList();
    if (AIndex >= 0 && AIndex < list.size())
        list[AIndex] = AValue;
    UnlockList();
}

QStringList& TInputLines::LockList() {
    FLock.lock();
    return FList;
}

void TInputLines::UnlockList() {
    FLock.unlock();
}

// --- TReadPipe

TReadPipe::TReadPipe(int AReadStdout, int AWriteStdout, TChunkDecoding AOnCharDecoding)
    : FOnCharDecoding(std::move(AOnCharDecoding)), Fread_stdout(AReadStdout),
      Fwrite_stdout(AWriteStdout) {
    SetFreeOnTerminate(false);
    // Reads never block: an empty pipe is waited for in poll(), together with the drain
    // request. The read end is the parent's alone (the child has only write ends), so the
    // flag changes nothing for anyone else.
    const int flags = ::fcntl(Fread_stdout, F_GETFL);
    if (flags < 0 || ::fcntl(Fread_stdout, F_SETFL, flags | O_NONBLOCK) < 0)
        throw platform::MakeOSError(errno);
    Start();
}

TReadPipe::~TReadPipe() {
    if (!Finished()) {
        try {
            Terminate();
        } catch (const Exception&) {
            // The wake-up write failed; the read can only end when the pipe does.
        }
    }
    WaitFor();
}

void TReadPipe::Terminate() {
    TThreadBase::Terminate();
    // A reader that has already ended reads no more: the bytes would only fill the pipe, and on
    // a full pipe the write would block for good.
    if (Finished())
        return;
    static const char wakeUp[3] = {0, 0, 0};
    ssize_t written;
    do {
        written = ::write(Fwrite_stdout, wakeUp, sizeof wakeUp);
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(sizeof wakeUp))
        throw EAssertionFailed(QStringLiteral("Assertion failure"));
}

void TReadPipe::FinishDraining(std::chrono::milliseconds ALimit) {
    FDrainLimitMs.store(ALimit.count());
    FDrainRequested.store(true);
    FDrainEvent.SetEvent();
}

void TReadPipe::DeliverChunk(const char* ABytes, qsizetype ACount) {
    // The stream reads the chunk where it lies; it lives only for this call.
    QByteArray bytes = QByteArray::fromRawData(ABytes, ACount);
    QBuffer stream(&bytes);
    stream.open(QIODevice::ReadOnly);
    const QString text = FOnCharDecoding ? FOnCharDecoding(stream) : QString();
    FSyncString.Add(text);
    FEvent.SetEvent();
}

void TReadPipe::Execute() {
    NameThisThread("dos-reader");
    using Clock = std::chrono::steady_clock;
    char buffer[ChunkSize];
    pollfd fds[2] = {{Fread_stdout, POLLIN, 0}, {FDrainEvent.WaitHandle(), POLLIN, 0}};
    bool draining = false;
    Clock::time_point drainEnd;

    while (!Terminated()) {
        if (!draining && FDrainRequested.load()) {
            draining = true;
            drainEnd = Clock::now() + std::chrono::milliseconds(FDrainLimitMs.load());
        }
        if (draining && Clock::now() >= drainEnd)
            break; // a writer that never stops (a grandchild) is cut off here

        std::memset(buffer, 0, sizeof buffer);
        ssize_t got;
        do {
            got = ::read(Fread_stdout, buffer, sizeof buffer);
        } while (got < 0 && errno == EINTR);
        if (got < 0 && errno == EAGAIN) {
            // The pipe is empty. While draining that is the end; otherwise block until output
            // arrives (or the wake-up bytes do), or the worker asks for the rest of the output.
            if (draining)
                break;
            int ready;
            do {
                ready = ::poll(fds, 2, -1);
            } while (ready < 0 && errno == EINTR);
            if (ready < 0)
                throw EAssertionFailed(QStringLiteral("Assertion failure"));
            continue;
        }
        if (got < 0) {
            if (errno != EPIPE)
                throw EAssertionFailed(QStringLiteral("Assertion failure"));
            got = 0;
        }
        if (Terminated())
            break; // the wake-up bytes, or output that came with them
        if (got == 0)
            break; // every writer has closed the pipe: nothing more can come
        DeliverChunk(buffer, got);
    }
}
