#include "support/httpserver.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

// Settings and records shared between the test's threads and the server's thread.
struct HttpServer::Shared {
    mutable std::mutex lock;
    Tls tls = Tls::Accept;
    std::vector<std::pair<QByteArray, Reply>> replies;
    Handler handler;
    QString folder;
    int folderDelayMs = 0;
    std::vector<Request> requests;
};

namespace {

struct CertificateFiles {
    QString certificate;
    QString key;
};

// Runs a program found on PATH and waits for it; true when it exited with 0. posix_spawn
// rather than QProcess: Qt's child runs instrumented code in the parent's memory between its
// vfork and exec, which leaves ThreadSanitizer blind to the main thread's locks afterwards.
bool RunQuietly(const QStringList& arguments, const QString& errorFile) {
    std::vector<QByteArray> storage;
    for (const QString& argument : arguments)
        storage.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray errors = QFile::encodeName(errorFile);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errors.constData(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

const CertificateFiles& Certificate() {
    static QTemporaryDir dir;
    static const CertificateFiles files = [] {
        if (!dir.isValid())
            throw std::runtime_error("no temporary folder for the test certificate");
        CertificateFiles f{dir.filePath(QStringLiteral("cert.pem")),
                           dir.filePath(QStringLiteral("key.pem"))};
        const QString errors = dir.filePath(QStringLiteral("openssl.err"));
        if (!RunQuietly({QStringLiteral("openssl"), QStringLiteral("req"), QStringLiteral("-x509"),
                         QStringLiteral("-newkey"), QStringLiteral("ec"),
                         QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
                         QStringLiteral("-nodes"), QStringLiteral("-keyout"), f.key,
                         QStringLiteral("-out"), f.certificate, QStringLiteral("-days"),
                         QStringLiteral("2"), QStringLiteral("-subj"),
                         QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
                         QStringLiteral("subjectAltName=IP:127.0.0.1")},
                        errors)) {
            QFile text(errors);
            text.open(QIODevice::ReadOnly);
            throw std::runtime_error("openssl could not make the test certificate: " +
                                     text.readAll().toStdString());
        }
        return f;
    }();
    return files;
}

QByteArray ReasonPhrase(int status) {
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

QString DecodeComponent(const QByteArray& text) {
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            bytes += ' ';
        } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            bytes += char(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            bytes += c;
        }
    }
    return QString::fromUtf8(bytes);
}

} // namespace

// Everything below runs on the server's thread.
class HttpServer::Core : public QTcpServer {
public:
    explicit Core(std::shared_ptr<Shared> shared) : FShared(std::move(shared)) {}

    quint16 Listen() {
        const CertificateFiles& files = Certificate();
        QFile cert(files.certificate);
        QFile key(files.key);
        if (cert.open(QIODevice::ReadOnly) && key.open(QIODevice::ReadOnly)) {
            FSsl = QSslConfiguration::defaultConfiguration();
            FSsl.setLocalCertificate(QSslCertificate(&cert, QSsl::Pem));
            FSsl.setPrivateKey(QSslKey(&key, QSsl::Ec, QSsl::Pem));
            FSsl.setPeerVerifyMode(QSslSocket::VerifyNone);
        }
        if (!listen(QHostAddress(QHostAddress::LocalHost), 0))
            return 0;
        return serverPort();
    }

    void Stop() {
        close();
        // The open connections, and those still waiting for their first byte.
        qDeleteAll(findChildren<QSslSocket*>(Qt::FindDirectChildrenOnly));
        for (QSocketNotifier* waiting :
             findChildren<QSocketNotifier*>(Qt::FindDirectChildrenOnly)) {
            ::close(int(waiting->socket()));
            delete waiting;
        }
    }

protected:
    void incomingConnection(qintptr descriptor) override {
        // Wait for the first byte to learn whether the client opens a TLS handshake, without
        // taking it off the socket.
        auto* notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this, notifier, descriptor] {
            char first = 0;
            ssize_t n;
            do {
                n = ::recv(int(descriptor), &first, 1, MSG_PEEK | MSG_DONTWAIT);
            } while (n < 0 && errno == EINTR);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            notifier->setEnabled(false);
            notifier->deleteLater();
            const bool handshake = n == 1 && first == 0x16;
            Tls tls;
            {
                std::unique_lock locker(FShared->lock);
                tls = FShared->tls;
            }
            if (n <= 0 || (handshake && tls == Tls::Refuse)) {
                ::close(int(descriptor));
                return;
            }
            Serve(descriptor, handshake);
        });
    }

private:
    struct Connection {
        QByteArray buffer;
        bool continued = false;
        bool complete = false;
    };

    void Serve(qintptr descriptor, bool secure) {
        auto* socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            ::close(int(descriptor));
            return;
        }
        auto state = std::make_shared<Connection>();
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QSslSocket::sslErrors, socket, [socket] { socket->abort(); });
        connect(socket, &QIODevice::readyRead, socket,
                [this, socket, state, secure] { OnData(socket, *state, secure); });
        if (secure) {
            socket->setSslConfiguration(FSsl);
            socket->startServerEncryption();
        }
    }

    void OnData(QSslSocket* socket, Connection& c, bool secure) {
        c.buffer += socket->readAll();
        if (c.complete)
            return;
        const qsizetype headerEnd = c.buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        Request request;
        request.secure = secure;
        const QList<QByteArray> lines = c.buffer.left(headerEnd).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.target = first.value(1);
        request.path = request.target.left(
            request.target.indexOf('?') < 0 ? request.target.size() : request.target.indexOf('?'));
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.append(
                    {lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
        }
        const qsizetype length = request.Header("Content-Length").toLongLong();
        const qsizetype bodyStart = headerEnd + 4;
        if (c.buffer.size() - bodyStart < length) {
            if (!c.continued &&
                request.Header("Expect").compare("100-continue", Qt::CaseInsensitive) == 0) {
                c.continued = true;
                socket->write("HTTP/1.1 100 Continue\r\n\r\n");
            }
            return;
        }
        c.complete = true;
        request.body = c.buffer.mid(bodyStart, length);
        if (!request.body.isEmpty())
            request.fields = DecodeForm(request.body);
        const Reply reply = Answer(request);
        {
            std::unique_lock locker(FShared->lock);
            FShared->requests.push_back(request);
        }
        if (reply.silent)
            return;
        if (reply.delayMs > 0)
            QTimer::singleShot(reply.delayMs, socket, [socket, reply] { Send(socket, reply); });
        else
            Send(socket, reply);
    }

    Reply Answer(const Request& request) {
        std::unique_lock locker(FShared->lock);
        if (FShared->handler) {
            Handler handler = FShared->handler;
            locker.unlock();
            return handler(request);
        }
        for (const auto& [path, reply] : FShared->replies) {
            if (path == request.path)
                return reply;
        }
        Reply notFound;
        notFound.status = 404;
        notFound.contentType = "text/plain";
        notFound.body = "not found";
        if (FShared->folder.isEmpty())
            return notFound;
        if (request.method != "GET") {
            notFound.status = 405;
            return notFound;
        }
        // A "+" in a path is itself, not a blank.
        QByteArray path = request.path;
        const QString relative = DecodeComponent(path.replace("+", "%2B"));
        const QString root = QDir(FShared->folder).canonicalPath();
        const QString file = QFileInfo(root + relative).canonicalFilePath();
        QFile f(file);
        if (file.isEmpty() || !file.startsWith(root + QLatin1Char('/')) ||
            !QFileInfo(file).isFile() || !f.open(QIODevice::ReadOnly))
            return notFound;
        Reply reply;
        reply.contentType =
            file.endsWith(QLatin1String(".m3u8"))
                ? "application/vnd.apple.mpegurl"
                : (file.endsWith(QLatin1String(".ts")) ? "video/mp2t" : "application/octet-stream");
        reply.body = f.readAll();
        reply.delayMs = FShared->folderDelayMs;
        return reply;
    }

    static void Send(QSslSocket* socket, const Reply& reply) {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' +
                          ReasonPhrase(reply.status) + "\r\n";
        if (!reply.contentType.isEmpty())
            head += "Content-Type: " + reply.contentType + "\r\n";
        if (!reply.endless)
            head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
        head += "Connection: close\r\n\r\n";
        if (reply.endless) {
            SendEndlessly(socket, head, reply.body.isEmpty() ? QByteArray("x") : reply.body);
            return;
        }
        if (reply.cutAfter >= 0) {
            socket->write((head + reply.body).left(reply.cutAfter));
            socket->disconnectFromHost(); // after what was written has gone out
            return;
        }
        if (reply.trickleMs <= 0 || reply.body.isEmpty()) {
            socket->write(head + reply.body);
            socket->disconnectFromHost();
            return;
        }
        socket->write(head);
        auto* drip = new QTimer(socket);
        auto sent = std::make_shared<qsizetype>(0);
        connect(drip, &QTimer::timeout, socket, [socket, drip, sent, body = reply.body] {
            socket->write(body.mid((*sent)++, 1));
            if (*sent == body.size()) {
                drip->stop();
                socket->disconnectFromHost();
            }
        });
        drip->start(reply.trickleMs);
    }

    // Keeps about a megabyte queued until the client closes the connection, which deletes the
    // socket and with it this connection.
    static void SendEndlessly(QSslSocket* socket, const QByteArray& head, const QByteArray& body) {
        QByteArray block;
        while (block.size() < (64 << 10))
            block += body;
        socket->write(head);
        const auto refill = [socket, block] {
            // Over TLS the text moves on at once to the encrypted side's own buffer.
            while (socket->state() == QAbstractSocket::ConnectedState &&
                   socket->bytesToWrite() + socket->encryptedBytesToWrite() < (1 << 20)) {
                if (socket->write(block) < 0)
                    break;
            }
        };
        connect(socket, &QIODevice::bytesWritten, socket, refill);
        connect(socket, &QSslSocket::encryptedBytesWritten, socket, refill);
        refill();
    }

    std::shared_ptr<Shared> FShared;
    QSslConfiguration FSsl;
};

QByteArray HttpServer::Request::Header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool HttpServer::Request::HasHeader(const QByteArray& name) const {
    for (const auto& header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QString HttpServer::Request::Field(const QString& name) const {
    for (const auto& [key, value] : fields) {
        if (key == name)
            return value;
    }
    return {};
}

HttpServer::HttpServer(Tls tls) : FShared(std::make_shared<Shared>()) {
    FShared->tls = tls;
    Certificate(); // made here, on the caller's thread, so failures surface in the test
    // The listening port, handed over under a plain mutex (std::future waits on a futex that
    // ThreadSanitizer cannot see).
    struct Startup {
        std::mutex lock;
        std::condition_variable changed;
        bool done = false;
        quint16 port = 0;
    };
    auto startup = std::make_shared<Startup>();
    // A plain thread with an event loop of its own rather than a QThread: its start, its
    // end and every hand-over go through primitives that ThreadSanitizer can see.
    FThread = std::thread([shared = FShared, stop = FStop, startup] {
        QEventLoop loop; // gives this thread the event dispatcher the sockets need
        Core core(shared);
        const quint16 port = core.Listen();
        {
            std::lock_guard locked(startup->lock);
            startup->port = port;
            startup->done = true;
        }
        startup->changed.notify_all();
        if (port == 0)
            return;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&loop, stop] {
            if (stop->load(std::memory_order_acquire))
                loop.quit();
        });
        poll.start(10);
        loop.exec();
        core.Stop();
    });
    {
        std::unique_lock locked(startup->lock);
        startup->changed.wait(locked, [&] { return startup->done; });
        FPort = startup->port;
    }
    if (FPort == 0) {
        FThread.join();
        throw std::runtime_error("the test HTTP server could not listen on 127.0.0.1");
    }
}

HttpServer::~HttpServer() {
    FStop->store(true, std::memory_order_release);
    FThread.join();
}

quint16 HttpServer::Port() const {
    return FPort;
}

QString HttpServer::HostAndPort() const {
    return QStringLiteral("127.0.0.1:%1").arg(FPort);
}

QString HttpServer::Url(const QString& scheme, const QString& path) const {
    return scheme + HostAndPort() + path;
}

void HttpServer::SetReply(const QByteArray& path, const Reply& reply) {
    std::unique_lock locker(FShared->lock);
    for (auto& entry : FShared->replies) {
        if (entry.first == path) {
            entry.second = reply;
            return;
        }
    }
    FShared->replies.emplace_back(path, reply);
}

void HttpServer::SetHandler(Handler handler) {
    std::unique_lock locker(FShared->lock);
    FShared->handler = std::move(handler);
}

void HttpServer::ServeFolder(const QString& folder, int delayMs) {
    std::unique_lock locker(FShared->lock);
    FShared->folder = folder;
    FShared->folderDelayMs = delayMs;
}

std::vector<HttpServer::Request> HttpServer::Requests() const {
    std::unique_lock locker(FShared->lock);
    return FShared->requests;
}

int HttpServer::RequestCount() const {
    std::unique_lock locker(FShared->lock);
    return int(FShared->requests.size());
}

void HttpServer::ClearRequests() {
    std::unique_lock locker(FShared->lock);
    FShared->requests.clear();
}

QString HttpServer::CaCertificateFile() {
    return Certificate().certificate;
}

quint16 HttpServer::UnusedPort() {
    // Bound and released at once; nothing else on a test machine grabs it in between.
    QTcpServer probe;
    if (!probe.listen(QHostAddress(QHostAddress::LocalHost), 0))
        throw std::runtime_error("no free port on 127.0.0.1");
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

QList<QPair<QString, QString>> HttpServer::DecodeForm(const QByteArray& body) {
    QList<QPair<QString, QString>> fields;
    if (body.isEmpty())
        return fields;
    for (const QByteArray& pair : body.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        if (eq < 0)
            fields.append({DecodeComponent(pair), QString()});
        else
            fields.append({DecodeComponent(pair.left(eq)), DecodeComponent(pair.mid(eq + 1))});
    }
    return fields;
}

} // namespace testsupport
