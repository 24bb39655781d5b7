#pragma once

#include "platform/syserror.h"

#include <QChar>
#include <QIODevice>
#include <QString>

#include <functional>

// Types shared by the console process runner and its callers.

class TDosCommand;

enum TOutputType {
    otEntireLine = 0,      // a complete line
    otBeginningOfLine = 1, // the beginning of a line whose end has not arrived yet
};

enum TEndStatus {
    esStop = 0,         // Stop was requested while the child was still running
    esProcess = 1,      // the child ended by itself
    esStill_Active = 2, // a run is going
    esNone = 3,         // no run yet
    esError = 4,        // the run failed with an error
    esTime = 5,         // a time limit was exceeded while the child was still running
};

VELMORA_DECLARE_ERROR(EDosCommand, Exception);
VELMORA_DECLARE_ERROR(ECreatePipeError, Exception);
VELMORA_DECLARE_ERROR(ECreateProcessError, Exception);
VELMORA_DECLARE_ERROR(EProcessTimer, Exception);

// Events and hooks. ASender is always the component. The events run on the main thread; the
// decoding hook on the run's reader thread, the encoding hook on its worker thread.
using TNewLineEvent =
    std::function<void(TDosCommand* ASender, const QString& ANewLine, TOutputType AOutputType)>;
using TNewCharEvent = std::function<void(TDosCommand* ASender, QChar ANewChar)>;
using TErrorEvent = std::function<void(TDosCommand* ASender, const Exception& AE, bool& AHandled)>;
using TTerminateProcessEvent = std::function<void(TDosCommand* ASender, bool& ACanTerminate)>;
using TNotifyEvent = std::function<void(TDosCommand* ASender)>;
// ABuf holds one chunk read from the child, positioned at its start; returns the decoded text.
using TCharDecoding = std::function<QString(TDosCommand* ASender, QIODevice& ABuf)>;
// AOutBuf is an empty, writable stream to fill with the bytes to send.
using TCharEncoding =
    std::function<void(TDosCommand* ASender, const QString& AChars, QIODevice& AOutBuf)>;
