#pragma once

#include "platform/syserror.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

VELMORA_DECLARE_ERROR(EPostForm, Exception);

// One HTTP POST of name=value lines to url; returns the answer body as text and raises
// EPostForm when the request cannot be completed. "https://" (exactly, case-sensitive) takes the
// secure path, anything else the plain one. timeoutMs bounds the connection (TLS handshake
// included) and, separately, every wait for the server once connected, so one call takes at
// most about twice timeoutMs. Has no shared state: any thread may call it.
QString PostForm(const QString& url, const QStringList& fields, int timeoutMs);

// The largest answer body PostForm takes. The service answers with a few short lines; a server
// that sends more (or never stops) is cut off with EPostForm instead of filling the memory for
// as long as the time-outs allow.
inline constexpr qsizetype MaxPostFormAnswerBytes = 1 << 20;

// The application/x-www-form-urlencoded body for the field lines: each line cut at its first
// "=", both halves encoded on their own, pairs joined with "&".
QByteArray EncodeFormBody(const QStringList& fields);

// Test seam only: certificates in this PEM file are trusted besides the system's store
// (the local test server's self-signed one). An empty path removes it.
void SetPostFormCaFileForTests(const QString& pemFile);
