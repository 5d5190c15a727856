#pragma once

#include <QtCore>

#include <httplib.h> // and with it the standard library's threads, locks, atomics and containers

// A real HTTP(S) server on 127.0.0.1 in its own thread, answering every POST as the test scripts it
// and recording every request that reaches it.
class StubServer final {
public:
    struct Answer final {
        int status = 200;
        std::string body = "{}";
        std::string location = {}; // a redirect to there, when set ("= {}": no warning when left out)
        int delayMs = 0;
        // How the body is delimited: by a Content-Length, in chunks, or by closing the connection.
        enum Framing { length, chunked, closing } framing = length;
        // When set, an answer without end: 64 KiB blocks until this many bytes are out, then a
        // byte every 10 ms.
        size_t endlessFastBytes = 0;
    };
    struct Request final {
        QString path;
        httplib::Headers headers;
        QByteArray body;
    };

    // HTTPS with this certificate and key, when given.
    explicit StubServer(const std::string& certificate = {}, const std::string& key = {});
    ~StubServer();

    // The base URL, ending in "/api".
    QString url() const { return QStringLiteral("http%1://127.0.0.1:%2/api").arg(tls ? "s" : "").arg(port); }
    // How requests to this path are answered; the empty path stands for every other one.
    void answer(const Answer& answer, const std::string& path = {});
    std::vector<Request> requests() const;
    // What became of an endless answer: the bytes written, and whether its connection has closed.
    std::atomic<size_t> endlessWritten = 0;
    std::atomic<bool> endlessClosed = false;

private:
    std::unique_ptr<httplib::Server> server;
    bool tls = false;
    int port = 0;
    std::thread thread;
    mutable std::mutex mutex;
    std::map<std::string, Answer> answers;
    std::vector<Request> received;
};
