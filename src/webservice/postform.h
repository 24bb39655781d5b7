#pragma once

#include "platform/syserror.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

VELMORA_DECLARE_ERROR(EPostForm, Exception);

// One HTTP POST of name=value lines to url; returns the answer body as text and raises
// EPostForm when the request cannot be completed. "https://" (exactly, case-sensitive) takes the
// secure path, anything else the plain one. Has no shared state: any thread may call it.
QString PostForm(const QString& url, const QStringList& fields, int timeoutMs);

// The application/x-www-form-urlencoded body for the field lines.
QByteArray EncodeFormBody(const QStringList& fields);
