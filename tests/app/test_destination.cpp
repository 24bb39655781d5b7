// The destination field and its folder button on the real main window.
//
// The main window keeps settings.ini in the program's own folder when it can write there. So
// that no run of this program sees the settings of another, the program first copies itself
// into a fresh temporary folder and runs the tests from there, with HOME and XDG_CONFIG_HOME in
// that folder as well.

#include "app/main.h"
#include "app/settings.h"
#include "support/httpserver.h"
#include "support/shellrecorder.h"
#include "support/wait.h"
#include "webservice/webconfig.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

constexpr char kIsolatedVariable[] = "VELMORA_DESTINATION_TEST_COPY";

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString StoredDestination(const QString& settingsFile) {
    return TSettingsIni(settingsFile)
        .ReadString(QStringLiteral("Settings"), QStringLiteral("Destination"),
                    QStringLiteral("<missing>"));
}

// Runs action once the folder picker is up: it gets the dialog, or null if none came.
void WhenPickerOpens(std::function<void(QFileDialog*)> action) {
    auto pending = std::make_shared<std::function<void(QFileDialog*)>>(std::move(action));
    auto* timer = new QTimer;
    timer->setInterval(10);
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, pending, tries] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog && ++*tries < 500)
            return;
        timer->stop();
        timer->deleteLater();
        (*pending)(dialog);
        if (dialog && dialog->isVisible())
            dialog->reject();
    });
    timer->start();
}

class DestinationTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The update check must not leave the machine.
        webconfig::SetHostForTests(
            QStringLiteral("127.0.0.1:%1").arg(testsupport::HttpServer::UnusedPort()));
        const QString home = qEnvironmentVariable("HOME");
        ASSERT_TRUE(home.startsWith(QDir::tempPath())) << "runs only in its isolated copy";
        settingsFile = ChooseSettingsFolder(QCoreApplication::applicationDirPath(),
                                            QStringLiteral("QUENTAR"), QStringLiteral("Velmora")) +
                       QStringLiteral("settings.ini");
        QFile::remove(settingsFile);
        desktop = home + QStringLiteral("/Desktop");
    }

    std::unique_ptr<TAppForm> Start() {
        auto form = std::make_unique<TAppForm>();
        if (form->SettingsIni())
            settingsFile = form->SettingsIni()->FileName();
        return form;
    }

    testsupport::ShellRecorder shell;
    QString settingsFile;
    QString desktop;
};

} // namespace

TEST_F(DestinationTest, EveryKeystrokeIsSavedAndARestartShowsTheLastText) {
    auto form = Start();
    ASSERT_NE(form->SettingsIni(), nullptr);
    EXPECT_TRUE(QFileInfo(settingsFile).absolutePath().startsWith(QDir::tempPath()));
    // The first start shows the desktop and writes it back at once.
    EXPECT_EQ(form->Edit1->text(), desktop);
    EXPECT_EQ(StoredDestination(settingsFile), desktop);

    form->Edit1->clear();
    EXPECT_EQ(StoredDestination(settingsFile), QString());
    const QString typed = QStringLiteral("/srv/Vidéos à voir");
    QString sofar;
    for (const QChar c : typed) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(form->Edit1, &press);
        sofar += c;
        ASSERT_EQ(form->Edit1->text(), sofar);
        ASSERT_EQ(StoredDestination(settingsFile), sofar) << "saved at every keystroke";
    }
    form.reset();

    auto again = Start();
    EXPECT_EQ(again->Edit1->text(), typed);
}

TEST_F(DestinationTest, AnEmptyFieldStaysEmptyAfterARestart) {
    {
        auto form = Start();
        form->Edit1->setText(QStringLiteral("/somewhere"));
        form->Edit1->clear();
        EXPECT_EQ(StoredDestination(settingsFile), QString());
    }
    auto again = Start();
    EXPECT_EQ(again->Edit1->text(), QString()) << "not the desktop";
    EXPECT_EQ(StoredDestination(settingsFile), QString());
}

TEST_F(DestinationTest, FolderPickerStartsAtTheFolderPickedLastAndCancelChangesNothing) {
    QTemporaryDir folders;
    ASSERT_TRUE(folders.isValid());
    const QString picked = folders.filePath(QStringLiteral("picked"));
    ASSERT_TRUE(QDir().mkpath(picked));
    auto form = Start();
    form->Edit1->setText(folders.path());

    // Cancelling leaves the field, the settings file and the remembered folder alone.
    const QByteArray before = ReadAll(settingsFile);
    QString title;
    QString startedAt;
    WhenPickerOpens([&](QFileDialog* dialog) {
        ASSERT_NE(dialog, nullptr);
        title = dialog->windowTitle();
        startedAt = dialog->directory().absolutePath();
        dialog->reject();
    });
    form->SpeedButton1->click();
    EXPECT_EQ(title, QStringLiteral("Select folder:"));
    EXPECT_NE(startedAt, QDir(folders.path()).absolutePath()) << "not the field's folder";
    EXPECT_EQ(form->Edit1->text(), folders.path());
    EXPECT_EQ(ReadAll(settingsFile), before);
    EXPECT_EQ(TAppForm::LastPickedFolder(), QString());

    // Confirming puts the folder into the field, which saves it.
    WhenPickerOpens([&](QFileDialog* dialog) {
        ASSERT_NE(dialog, nullptr);
        // Go into the folder with nothing selected in it: confirming takes the folder shown.
        dialog->setDirectory(picked);
        if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            name->clear();
        ASSERT_EQ(dialog->selectedFiles().value(0), picked);
        QPushButton* select = nullptr;
        for (auto* button : dialog->findChildren<QPushButton*>()) {
            if (button->text() == QStringLiteral("Select"))
                select = button;
        }
        ASSERT_NE(select, nullptr) << "the confirm button reads Select";
        select->click();
    });
    form->SpeedButton1->click();
    EXPECT_EQ(form->Edit1->text(), picked);
    EXPECT_EQ(StoredDestination(settingsFile), picked);

    // Typing elsewhere does not move the picker's start: it opens at the folder picked last.
    form->Edit1->setText(QStringLiteral("/typed/elsewhere"));
    // Qt's picker may show the folder itself, or its parent with the folder's name in the name
    // box; either way it starts from the picked folder.
    QString shown;
    QString named;
    WhenPickerOpens([&](QFileDialog* dialog) {
        ASSERT_NE(dialog, nullptr);
        shown = dialog->directory().absolutePath();
        if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            named = dialog->directory().absoluteFilePath(name->text());
        dialog->reject();
    });
    form->SpeedButton1->click();
    EXPECT_TRUE(shown == picked || named == picked)
        << qPrintable(shown) << " / " << qPrintable(named);
    EXPECT_EQ(form->Edit1->text(), QStringLiteral("/typed/elsewhere"));
    EXPECT_EQ(StoredDestination(settingsFile), QStringLiteral("/typed/elsewhere"));
}

namespace {

// Copies this program into a temporary folder and runs the copy there with its own HOME and
// XDG_CONFIG_HOME; returns its exit code.
int RunIsolatedCopy(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString bin = dir.filePath(QStringLiteral("bin"));
    const QString copy =
        bin + QStringLiteral("/") + QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (!QDir().mkpath(bin) || !QDir().mkpath(dir.filePath(QStringLiteral("home/Desktop"))) ||
        !QDir().mkpath(dir.filePath(QStringLiteral("config"))) ||
        !QFile::copy(QCoreApplication::applicationFilePath(), copy)) {
        fprintf(stderr, "could not set up the isolated copy in %s\n", qPrintable(dir.path()));
        return 1;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kIsolatedVariable), QStringLiteral("1"));
    env.insert(QStringLiteral("HOME"), dir.filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.setWorkingDirectory(dir.path());
    child.start(copy, QCoreApplication::arguments().mid(1));
    if (!child.waitForStarted() || !child.waitForFinished(-1))
        return 1;
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty(kIsolatedVariable))
        return RunIsolatedCopy(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
