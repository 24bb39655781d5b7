#include "webservice/postform.h"

#include <QMutex>
#include <QMutexLocker>
#include <QStringDecoder>
#include <QUrl>

#include <curl/curl.h>

#include <chrono>
#include <memory>

namespace {

using Clock = std::chrono::steady_clock;

QMutex& CaFileLock() {
    static QMutex lock;
    return lock;
}

QByteArray& CaFile() {
    static QByteArray file;
    return file;
}

void EnsureCurlInitialised() {
    // curl_global_init is not thread-safe itself; a function-local static makes the one call so.
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (initialised != CURLE_OK)
        throw EPostForm(QStringLiteral("The HTTP client could not be initialised: %1")
                            .arg(QString::fromUtf8(curl_easy_strerror(initialised))));
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// The multi handle drives one easy handle so that the wait for the server can be watched at a
// finer grain than curl's own once-a-second low-speed check. Detaches the easy handle first.
class MultiDriver {
public:
    explicit MultiDriver(CURL* easy) : FMulti(curl_multi_init()), FEasy(easy) {
        if (!FMulti || curl_multi_add_handle(FMulti, FEasy) != CURLM_OK) {
            if (FMulti)
                curl_multi_cleanup(FMulti);
            throw EPostForm(QStringLiteral("The HTTP client could not be created"));
        }
    }
    ~MultiDriver() {
        curl_multi_remove_handle(FMulti, FEasy);
        curl_multi_cleanup(FMulti);
    }
    MultiDriver(const MultiDriver&) = delete;
    MultiDriver& operator=(const MultiDriver&) = delete;
    CURLM* Get() const { return FMulti; }

private:
    CURLM* FMulti;
    CURL* FEasy;
};

struct Transfer {
    QByteArray body;
    Clock::time_point lastActivity = Clock::now();
    bool tooLarge = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    if (size * count > size_t(MaxPostFormAnswerBytes - transfer->body.size())) {
        transfer->tooLarge = true;
        return 0; // curl ends the transfer with CURLE_WRITE_ERROR
    }
    transfer->body.append(data, qsizetype(size * count));
    transfer->lastActivity = Clock::now();
    return size * count;
}

size_t OnHeader(char*, size_t size, size_t count, void* user) {
    static_cast<Transfer*>(user)->lastActivity = Clock::now();
    return size * count;
}

bool IsFormSafe(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '*' ||
           c == '-' || c == '.' || c == '_';
}

void AppendEncoded(QByteArray& out, const QString& text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    for (const char ch : text.toUtf8()) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsFormSafe(c)) {
            out += char(c);
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
}

// The plain path talks plain HTTP whatever the scheme says: an "HTTPS://" written in capitals
// goes to the same host and port, unencrypted, and every other scheme is refused by curl.
QByteArray PlainTarget(const QString& url) {
    QUrl parsed(url);
    if (parsed.isValid() && parsed.scheme() == QLatin1String("https")) {
        if (parsed.port() == -1)
            parsed.setPort(443);
        parsed.setScheme(QStringLiteral("http"));
        return parsed.toEncoded();
    }
    return url.toUtf8();
}

QString DecodeBody(const QByteArray& body, const char* contentType) {
    QByteArray charset;
    if (contentType) {
        for (const QByteArray& part : QByteArray(contentType).split(';')) {
            const QByteArray param = part.trimmed();
            if (param.toLower().startsWith("charset=")) {
                charset = param.mid(8).trimmed();
                if (charset.size() >= 2 && charset.startsWith('"') && charset.endsWith('"'))
                    charset = charset.mid(1, charset.size() - 2);
                break;
            }
        }
    }
    if (!charset.isEmpty() && charset.toLower() != "utf-8") {
        QStringDecoder decoder(charset.constData());
        if (decoder.isValid())
            return decoder.decode(body);
    }
    // No character set, UTF-8, or one this platform cannot decode: UTF-8.
    QStringDecoder utf8(QStringDecoder::Utf8);
    return utf8.decode(body);
}

template <typename T> void SetOption(CURL* easy, CURLoption option, T value) {
    const CURLcode code = curl_easy_setopt(easy, option, value);
    if (code != CURLE_OK)
        throw EPostForm(QStringLiteral("The HTTP client could not be set up: %1")
                            .arg(QString::fromUtf8(curl_easy_strerror(code))));
}

} // namespace

QByteArray EncodeFormBody(const QStringList& fields) {
    QByteArray body;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            body += '&';
        const QString& line = fields[i];
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        AppendEncoded(body, eq < 0 ? line : line.left(eq));
        body += '=';
        if (eq >= 0)
            AppendEncoded(body, line.mid(eq + 1));
    }
    return body;
}

void SetPostFormCaFileForTests(const QString& pemFile) {
    QMutexLocker locker(&CaFileLock());
    CaFile() = pemFile.toLocal8Bit();
}

QString PostForm(const QString& url, const QStringList& fields, int timeoutMs) {
    EnsureCurlInitialised();
    const bool secure = url.startsWith(QLatin1String("https://"));
    const QByteArray target = secure ? url.toUtf8() : PlainTarget(url);
    const QByteArray body = EncodeFormBody(fields);
    QByteArray caFile;
    {
        QMutexLocker locker(&CaFileLock());
        caFile = CaFile();
    }

    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy)
        throw EPostForm(QStringLiteral("The HTTP client could not be created"));

    std::unique_ptr<curl_slist, SlistDeleter> headers;
    auto addHeader = [&headers](const char* header) {
        curl_slist* grown = curl_slist_append(headers.get(), header);
        if (!grown)
            throw EPostForm(QStringLiteral("Out of memory while building the request"));
        (void)headers.release();
        headers.reset(grown);
    };
    if (secure) {
        addHeader("Content-Type: application/x-www-form-urlencoded; charset=utf-8");
        addHeader("Connection: close");
    } else {
        addHeader("Content-Type: application/x-www-form-urlencoded");
    }
    // curl would otherwise hold back a larger body for a "100 Continue" that simple servers
    // never send, and wait a second for it.
    addHeader("Expect:");

    Transfer transfer;
    char errorText[CURL_ERROR_SIZE] = {};
    CURL* h = easy.get();
    SetOption(h, CURLOPT_URL, target.constData());
    SetOption(h, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http");
    SetOption(h, CURLOPT_NOSIGNAL, 1L);
    SetOption(h, CURLOPT_ERRORBUFFER, errorText);
    SetOption(h, CURLOPT_POST, 1L);
    SetOption(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    SetOption(h, CURLOPT_POSTFIELDS, body.constData());
    SetOption(h, CURLOPT_HTTPHEADER, headers.get());
    SetOption(h, CURLOPT_CONNECTTIMEOUT_MS, long(timeoutMs));
    // The connection and the answer each get the time-out once; a server that keeps the answer
    // alive by dribbling bytes must not stretch one attempt beyond both together.
    SetOption(h, CURLOPT_TIMEOUT_MS, 2L * timeoutMs);
    SetOption(h, CURLOPT_WRITEFUNCTION, &OnBody);
    SetOption(h, CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
    SetOption(h, CURLOPT_HEADERFUNCTION, &OnHeader);
    SetOption(h, CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
    if (secure && !caFile.isEmpty())
        SetOption(h, CURLOPT_CAINFO, caFile.constData());

    const auto responseTimeout = std::chrono::milliseconds(timeoutMs);
    bool connected = false;
    curl_off_t sent = -1;
    CURLcode result = CURLE_OK;
    {
        MultiDriver multi(h);
        for (;;) {
            int running = 0;
            const CURLMcode step = curl_multi_perform(multi.Get(), &running);
            if (step != CURLM_OK)
                throw EPostForm(QString::fromUtf8(curl_multi_strerror(step)));
            if (running == 0)
                break;
            // The response time-out starts once the connection stands (TLS included) and is
            // restarted by every byte that moves either way: a read time-out, not a limit on
            // the whole answer.
            const auto now = Clock::now();
            curl_off_t pretransfer = 0;
            curl_off_t uploaded = 0;
            curl_easy_getinfo(h, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
            curl_easy_getinfo(h, CURLINFO_SIZE_UPLOAD_T, &uploaded);
            if (!connected && (pretransfer > 0 || uploaded > 0)) {
                connected = true;
                transfer.lastActivity = now;
            }
            if (uploaded != sent) {
                sent = uploaded;
                transfer.lastActivity = now;
            }
            if (connected && now - transfer.lastActivity >= responseTimeout)
                throw EPostForm(QStringLiteral("Read timed out: no answer from %1 within %2 ms")
                                    .arg(url)
                                    .arg(timeoutMs));
            const CURLMcode polled = curl_multi_poll(multi.Get(), nullptr, 0, 50, nullptr);
            if (polled != CURLM_OK)
                throw EPostForm(QString::fromUtf8(curl_multi_strerror(polled)));
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi.Get(), &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == h)
                result = message->data.result;
        }
    }
    if (transfer.tooLarge)
        throw EPostForm(QStringLiteral("The answer from %1 is larger than %2 bytes")
                            .arg(url)
                            .arg(MaxPostFormAnswerBytes));
    if (result != CURLE_OK) {
        const QString detail = errorText[0] ? QString::fromUtf8(errorText).trimmed()
                                            : QString::fromUtf8(curl_easy_strerror(result));
        throw EPostForm(detail);
    }
    char* contentType = nullptr;
    curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &contentType);
    return DecodeBody(transfer.body, contentType);
}
