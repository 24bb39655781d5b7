// Replays a fuzz target's corpus through its entry point as an ordinary test, so that every seed
// and every input that once found a fault is checked on each test run, without libFuzzer.

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

TEST(FuzzReplay, EveryCorpusFileRunsClean) {
    const QDir corpus(QStringLiteral(VELMORA_FUZZ_CORPUS));
    const QStringList names = corpus.entryList(QDir::Files | QDir::Hidden, QDir::Name);
    // A wrong folder would make the test pass on nothing.
    ASSERT_FALSE(names.isEmpty()) << "no corpus in " << VELMORA_FUZZ_CORPUS;
    for (const QString& name : names) {
        QFile file(corpus.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        const QByteArray bytes = file.readAll();
        // A failed check aborts the whole program: say which file did it.
        std::fprintf(stderr, "replaying %s (%lld bytes)\n", qPrintable(name),
                     static_cast<long long>(bytes.size()));
        std::fflush(stderr);
        EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                         std::size_t(bytes.size())),
                  0)
            << name.toStdString();
    }
}
