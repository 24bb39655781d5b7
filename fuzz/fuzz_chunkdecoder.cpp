// The default decoding of the child's output: text cut into chunks at any byte decodes to the
// same text as the whole, for valid UTF-8 and for any bytes at all, and a reset forgets a
// character left unfinished by the previous run.
//
// Input: a count byte n, n chunk lengths (cycled; 0 gives an empty chunk), then the bytes.

#include "fuzzsupport.h"

#include "doscommand/readpipe.h"

#include <QBuffer>
#include <QStringDecoder>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// A stream that is not a QBuffer, for the decoder's general path.
class TPlainDevice : public QIODevice {
public:
    explicit TPlainDevice(QByteArray bytes) : FBytes(std::move(bytes)) {
        open(QIODevice::ReadOnly);
    }
    qint64 size() const override { return FBytes.size(); }
    bool isSequential() const override { return false; }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 n = qMin(maxSize, FBytes.size() - pos());
        if (n <= 0)
            return n < 0 ? -1 : 0;
        std::memcpy(data, FBytes.constData() + pos(), size_t(n));
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray FBytes;
};

QString DecodeInChunks(TChunkDecoder& decoder, const QByteArray& bytes,
                       const std::vector<int>& lengths, bool plainDevice) {
    QString text;
    qsizetype at = 0;
    for (std::size_t i = 0; at < bytes.size(); ++i) {
        const qsizetype cut = qMin<qsizetype>(lengths[i % lengths.size()], bytes.size() - at);
        QByteArray chunk = bytes.mid(at, cut);
        at += cut;
        if (plainDevice) {
            TPlainDevice device(std::move(chunk));
            text += decoder.Decode(device);
        } else {
            QBuffer buffer(&chunk);
            buffer.open(QIODevice::ReadOnly);
            text += decoder.Decode(buffer);
        }
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::TInput input(data, size);
    std::vector<int> lengths;
    bool anyLength = false;
    for (int n = input.Byte(); n > 0 && !input.Empty(); --n) {
        lengths.push_back(input.Byte());
        anyLength = anyLength || lengths.back() > 0;
    }
    const QByteArray bytes = input.Rest();
    if (!anyLength)
        lengths.push_back(int(bytes.size()) + 1);

    TChunkDecoder wholeDecoder;
    const QString whole =
        DecodeInChunks(wholeDecoder, bytes, {int(bytes.size()) + 1}, lengths.size() % 2 == 1);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString expected = utf8.decode(bytes);
    if (!utf8.hasError())
        FUZZ_CHECK_EQ(whole, expected);

    // Invalid bytes become replacement characters too, the same wherever the chunks were cut;
    // the characters around them are never lost.
    TChunkDecoder decoder;
    const QString split = DecodeInChunks(decoder, bytes, lengths, lengths.size() % 2 == 0);
    FUZZ_CHECK_EQ(split, whole);

    // A new run starts clean, whatever the last one left unfinished.
    decoder.Reset();
    QByteArray probe("ok\xC3\xA9");
    QBuffer buffer(&probe);
    buffer.open(QIODevice::ReadOnly);
    FUZZ_CHECK_EQ(decoder.Decode(buffer), QStringLiteral(u"ok\u00E9"));
    return 0;
}
