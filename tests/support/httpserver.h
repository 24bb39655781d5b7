#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace testsupport {

// A small HTTP and HTTPS server of the tests, listening on 127.0.0.1 on an ephemeral port.
// One port speaks both: a connection whose first byte opens a TLS handshake is served over TLS
// with a self-signed certificate (see CaCertificateFile()), any other connection as plain HTTP.
//
// It runs its own thread with its own event loop, so it answers even while the test's main
// thread is blocked (a post made on the main thread, say). Every method may be called from any
// thread; handlers run on the server's thread. Every answer closes its connection.
//
// Typical use:
//   testsupport::HttpServer server;
//   webconfig::SetHostForTests(server.HostAndPort());
//   SetPostFormCaFileForTests(testsupport::HttpServer::CaCertificateFile());
//   server.SetReply("/php/check2.php", {.body = "<version>1.4</version>\r\n..."});
//   ... run the code under test ...
//   server.Requests()[0].Field("appname")
class HttpServer {
public:
    struct Request {
        bool secure = false;                          // arrived over TLS
        QByteArray method;                            // "GET", "POST", ...
        QByteArray target;                            // as sent, query included
        QByteArray path;                              // the target without its query
        QList<QPair<QByteArray, QByteArray>> headers; // in order, names as sent
        QByteArray body;
        // The body read as application/x-www-form-urlencoded ("+" is a blank, %XX a byte of
        // UTF-8), in order. Filled for every request with a body.
        QList<QPair<QString, QString>> fields;

        // The first header of that name (case-insensitive); empty when there is none.
        QByteArray Header(const QByteArray& name) const;
        bool HasHeader(const QByteArray& name) const;
        // The first field of that name; empty when there is none.
        QString Field(const QString& name) const;
    };

    // A scripted answer.
    struct Reply {
        int status = 200;
        QByteArray contentType = "text/html; charset=UTF-8"; // no header when empty
        QByteArray body;
        int delayMs = 0;     // wait this long before answering (other connections go on)
        bool silent = false; // read the request, keep the connection open, never answer
        int trickleMs = 0;   // send the body one byte at a time, this many ms apart
        // Send the head without Content-Length, then the body over and over for as long as
        // the client reads (an answer that never ends).
        bool endless = false;
        // When not negative: send only this many bytes of the answer (head included), then
        // close the connection, short of the Content-Length the head announced.
        qsizetype cutAfter = -1;
    };
    using Handler = std::function<Reply(const Request&)>;

    enum class Tls { Accept, Refuse }; // Refuse drops every connection that starts a handshake

    explicit HttpServer(Tls tls = Tls::Accept);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    quint16 Port() const;
    // "127.0.0.1:<port>", the form webconfig::SetHostForTests takes.
    QString HostAndPort() const;
    // scheme + HostAndPort() + path, e.g. Url("https://", "/php/check2.php").
    QString Url(const QString& scheme, const QString& path) const;

    // The answer to every request for path (query ignored), whatever its method and scheme.
    // A path with neither a reply nor a file to serve gets 404.
    void SetReply(const QByteArray& path, const Reply& reply);
    // When set, decides every answer instead of the replies and the folder.
    void SetHandler(Handler handler);
    // Serves GET requests for paths without a reply from the files of folder (Content-Length,
    // no ranges: a Range header is ignored and the whole file sent), each answer held back by
    // delayMs. Paths leaving the folder get 404.
    void ServeFolder(const QString& folder, int delayMs = 0);

    // The complete requests received so far, in order of arrival.
    std::vector<Request> Requests() const;
    int RequestCount() const;
    void ClearRequests();

    // The PEM file of the self-signed certificate (for 127.0.0.1) every instance presents.
    // Generated once per process with the openssl command line.
    static QString CaCertificateFile();
    // A port on 127.0.0.1 that nothing listens on: connections to it are refused.
    static quint16 UnusedPort();
    // Reads an application/x-www-form-urlencoded body.
    static QList<QPair<QString, QString>> DecodeForm(const QByteArray& body);

private:
    class Core;
    struct Shared;
    std::shared_ptr<Shared> FShared;
    std::shared_ptr<std::atomic<bool>> FStop = std::make_shared<std::atomic<bool>>(false);
    std::thread FThread; // runs the server's event loop; Core lives on its stack
    quint16 FPort = 0;
};

} // namespace testsupport
