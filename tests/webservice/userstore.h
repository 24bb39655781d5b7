#pragma once

#include "app/identity.h"
#include "support/httpserver.h"
#include "webservice/check.h"
#include "webservice/postform.h"
#include "webservice/webconfig.h"

#include <QByteArray>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>

#include <stdexcept>

#include <gtest/gtest.h>

// The per-user store of the update check, moved into a temporary folder for the whole test
// program: Qt reads XDG_CONFIG_HOME once, at the first QSettings use, so IsolateUserStore() must
// run before anything opens the store (SetUpTestSuite is early enough).
namespace webtest {

inline void IsolateUserStore() {
    static QTemporaryDir folder;
    if (!folder.isValid())
        throw std::runtime_error("no temporary folder for the user store");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder.path()));
}

inline QSettings Store() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("QUENTAR"),
                     QStringLiteral("Velmora"));
}

// The value as the file holds it now; empty when missing.
inline QString StoredValue(const QString& name) {
    return Store().value(QStringLiteral("Settings/") + name).toString();
}

inline bool IsStored(const QString& name) {
    return Store().contains(QStringLiteral("Settings/") + name);
}

inline void SetStoredValue(const QString& name, const QString& value) {
    QSettings store = Store();
    store.setValue(QStringLiteral("Settings/") + name, value);
}

inline void ClearStore() {
    QSettings store = Store();
    store.clear();
}

// A test against the local web service: the store isolated and emptied, the update check's
// module state reset, the product identity set, and every address pointed at server, whose
// test certificate the form post trusts.
class ServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { IsolateUserStore(); }

    void SetUp() override {
        ResetUpdateCheckForTests();
        ClearStore();
        ProductName = QStringLiteral("Velmora");
        CaptionText = QStringLiteral("QUENTAR - Velmora");
        VersionText = QStringLiteral("1.3");
        SetPostFormCaFileForTests(testsupport::HttpServer::CaCertificateFile());
        webconfig::SetHostForTests(server.HostAndPort());
    }
    void TearDown() override {
        ResetUpdateCheckForTests();
        SetPostFormCaFileForTests(QString());
    }

    testsupport::HttpServer server;
};

} // namespace webtest
