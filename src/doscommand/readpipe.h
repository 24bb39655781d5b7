#pragma once

#include "platform/events.h"
#include "platform/thread.h"

#include <QIODevice>
#include <QString>
#include <QStringDecoder>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>

// The default decoding of the child's output: the system's ANSI code page, which here is the
// locale's character set (UTF-8, as Qt takes it on every Unix system). A character whose bytes a
// read cut in two is kept and completed by the next chunk; bytes that are no UTF-8 become
// replacement characters, the same wherever the reads were cut. Used by one run's reader thread
// at a time.
class TChunkDecoder {
public:
    TChunkDecoder();
    // Forgets the bytes kept from the previous run.
    void Reset();
    // Reads the whole stream (from its start) and returns its text.
    QString Decode(QIODevice& ABuf);

private:
    QString DecodeBytes(QByteArrayView ABytes);

    QStringDecoder FDecoder;
    // The start of a character that the last chunk cut off (at most three bytes).
    QByteArray FPending;
};

// A text value under one exclusive, re-entrant lock. The run's reader appends; its worker reads,
// measures and deletes. Every operation holds the lock for its own duration only.
class TSyncString {
public:
    void Add(const QString& AValue);
    // Removes ACount characters from the 1-based position APos; a range past the end is cut.
    void Delete(qsizetype APos, qsizetype ACount);
    qsizetype Length() const;
    QString Value() const;
    void SetValue(const QString& AValue);

private:
    mutable std::recursive_mutex FLock;
    QString FValue;
};

// The queue of lines waiting to be written to the child, each a marker character ("_": append
// CR LF when sending, blank: send as it is) and the text. The main thread adds (SendLine); the
// worker counts, reads and deletes. Owned by the worker.
class TInputLines {
public:
    TInputLines();
    ~TInputLines();
    TInputLines(const TInputLines&) = delete;
    TInputLines& operator=(const TInputLines&) = delete;

    // Appends the entry, wakes the waiter through Event() once the lock is released and
    // returns the entry's index.
    qsizetype Add(const QString& AValue);
    qsizetype Count();
    void Delete(qsizetype AIndex);
    QString get_Strings(qsizetype AIndex);
    void set_Strings(qsizetype AIndex, const QString& AValue);
    // Takes the lock and returns the list itself; UnlockList releases it.
    QStringList& LockList();
    void UnlockList();
    // Automatic reset.
    platform::TEvent& Event() noexcept { return FEvent; }

private:
    platform::TEvent FEvent{false, false};
    std::recursive_mutex FLock;
    QStringList FList;
};

// The run's pipe reader: waits for the child's output, reads it in chunks of at most 1024
// bytes, has each chunk decoded, appends the text to ReadString() and signals Event().
// Created, terminated, awaited and released by the worker; starts running when constructed.
// The two descriptors belong to the worker, which closes them after the reader is gone.
class TReadPipe final : public TThreadBase {
public:
    // Decodes one chunk (a stream positioned at its start) into text. Runs on the reader thread.
    using TChunkDecoding = std::function<QString(QIODevice& ABuf)>;

    static constexpr int ChunkSize = 1024;

    TReadPipe(int AReadStdout, int AWriteStdout, TChunkDecoding AOnCharDecoding);
    // Terminates and waits for the thread if the worker has not done so.
    ~TReadPipe() override;

    // Automatic reset; signalled after each chunk has been appended.
    platform::TEvent& Event() noexcept { return FEvent; }
    TSyncString& ReadString() noexcept { return FSyncString; }

    // Sets the stop request, then writes three bytes into the pipe so that a reader blocked on
    // the empty pipe wakes up. Those bytes, and whatever the same read returns, are discarded.
    // Raises EAssertionFailed "Assertion failure" when the write fails.
    void Terminate() override;

    // The child has ended: read what is still in the pipe, without waiting for more, and end.
    // A writer that keeps the pipe busy (a grandchild) is cut off after ALimit.
    void FinishDraining(std::chrono::milliseconds ALimit);

protected:
    void Execute() override;

private:
    void DeliverChunk(const char* ABytes, qsizetype ACount);

    platform::TEvent FEvent{false, false};
    TChunkDecoding FOnCharDecoding;
    int Fread_stdout;
    int Fwrite_stdout;
    TSyncString FSyncString;
    platform::TEvent FDrainEvent{true, false};
    std::atomic<long long> FDrainLimitMs{0};
    std::atomic<bool> FDrainRequested{false};
};
