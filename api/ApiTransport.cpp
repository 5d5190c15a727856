#include "api/ApiTransport.h"

#include "api/ApiClient.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslError>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

namespace ApiTransport {

namespace {
QString trimmedOfSlashes(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char('/'))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char('/'))
        --end;
    return text.mid(begin, end - begin);
}
} // namespace

QString joinUrl(const QString& apiBaseUrl, const QString& endpoint) {
    return trimmedOfSlashes(apiBaseUrl) + QLatin1Char('/') + trimmedOfSlashes(endpoint) + QLatin1Char('/');
}

bool isLoopbackHost(const QString& host) {
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

std::variant<QUrl, ApiError> checkedUrl(const QString& urlString) {
    const QUrl url(urlString, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.scheme().isEmpty() || url.host().isEmpty())
        return ApiError::networkError(QStringLiteral("Invalid URL: ") + urlString);
    // The body carries the password: it never crosses the network in clear text. Local
    // stand-in servers on this machine may still speak plain HTTP.
    const QString scheme = url.scheme().toLower();
    const bool allowed =
        scheme == QLatin1String("https") || (scheme == QLatin1String("http") && isLoopbackHost(url.host()));
    if (!allowed)
        return ApiError::networkError(QStringLiteral("HTTPS is required: ") + urlString);
    return url;
}

QByteArray userAgent() {
#ifdef Q_OS_MACOS
    const QString product = QStringLiteral("Tavrel-Mac-Agent/");
#else
    const QString product = QStringLiteral("Tavrel-Linux-Agent/");
#endif
    return QString(product + ApiClient::agentVersion()).toUtf8();
}

namespace {

std::atomic<int> silenceMs{silenceLimitMs};
std::atomic<int> exchangeDeadlineMs{deadlineMs};

// One manager for the process, made on first use in the calling thread (the main thread here)
// and owned by the application object, so it goes away with it.
QNetworkAccessManager* sharedManager() {
    static std::mutex mutex;
    static QPointer<QNetworkAccessManager> manager;
    const std::lock_guard lock(mutex);
    if (!manager) {
        QCoreApplication* app = QCoreApplication::instance();
        const bool onAppThread = app != nullptr && app->thread() == QThread::currentThread();
        manager = new QNetworkAccessManager(onAppThread ? app : nullptr);
        // Gone before the application object: Qt's TLS backend cannot close cached
        // connections cleanly once that is being destroyed.
        if (onAppThread)
            QObject::connect(app, &QCoreApplication::aboutToQuit, manager, &QObject::deleteLater);
    }
    return manager;
}

const QString couldNotParse = QStringLiteral("Could not parse server response");
const QString timedOut = QStringLiteral("The request timed out.");

// Qt turns 4xx and 5xx answers into content, protocol or server errors although the answer
// arrived whole; those are judged by their body like any other answer. Failures of the
// exchange itself (connection, DNS, TLS, time-out, redirects refused, a cut-off body) and
// answers of a proxy (a 407 among them) stay transport failures.
bool isTransportFailure(QNetworkReply::NetworkError error, bool hasHttpStatus) {
    if (error == QNetworkReply::NoError)
        return false;
    if (!hasHttpStatus)
        return true;
    return error < QNetworkReply::ContentAccessDenied || error == QNetworkReply::ProtocolUnknownError ||
           error == QNetworkReply::ProtocolFailure;
}

PostOutcome judgeReply(QNetworkReply* reply, const QByteArray& body, const QString& sslProblem) {
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (isTransportFailure(reply->error(), status.isValid()))
        return ApiError::networkError(networkErrorText(reply->error(), reply->url().host(), sslProblem));
    Json object = Json::parse(body.constBegin(), body.constEnd(), nullptr, false);
    // The parser takes a NUL for the end of its input: whatever follows one would go unread.
    if (object.is_discarded() || !object.is_object() || body.contains('\0'))
        return ApiError::parseError(couldNotParse);
    return Response{status.isValid() ? status.toInt() : 0, std::move(object)};
}

// One call, shared by its reply's handlers in the manager's thread and by the caller's context.
struct Exchange final {
    PostCompletion completion;
    QByteArray body;
    bool oversized = false;
    bool pastDeadline = false;
    QString sslProblem; // the first reason Qt gave for refusing the server's certificate
    std::atomic<bool> cancelled = false;
    QPointer<QNetworkReply> reply;             // once sent
    QMetaObject::Connection cancelWithContext; // to the context's destroyed()
};

// The completion, taken from the exchange so that it runs at most once; empty once taken or when
// the call was cancelled.
PostCompletion takeCompletion(Exchange& exchange) {
    QObject::disconnect(exchange.cancelWithContext);
    PostCompletion completion = std::move(exchange.completion);
    exchange.completion = nullptr;
    return exchange.cancelled ? nullptr : completion;
}

void send(const QUrl& url, const QByteArray& payload, const std::shared_ptr<Exchange>& exchange) {
    if (exchange->cancelled)
        return;
    QNetworkRequest request(url);
    request.setRawHeader("Content-Type", "application/json");
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("User-Agent", ApiTransport::userAgent());
    // The body holds credentials: it may follow a redirect only within the same origin.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    // Identity travels in the body only; no cookies of our own.
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    // HTTP/1.1 only: aborting a reply then closes its connection, where HTTP/2 would only reset
    // the stream and keep the connection open.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    // No connection is kept for a next request: calls are rare, and one given up during its TLS
    // handshake would stay open in Qt's cache until it expired.
    request.setAttribute(QNetworkRequest::ConnectionCacheExpiryTimeoutSecondsAttribute, 0);
    // Qt's own limit on silence ends the reply as if cancelled; nobody cancels a call but by
    // dropping it, so that is read as the time-out it is.
    request.setTransferTimeout(silenceMs.load());

    QNetworkReply* reply = sharedManager()->post(request, payload);
    exchange->reply = reply;
    // However the answer trickles in, the exchange ends in time. Aborting closes the connection.
    QTimer::singleShot(exchangeDeadlineMs.load(), reply, [reply, exchange] {
        exchange->pastDeadline = true;
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::sslErrors, reply, [exchange](const QList<QSslError>& errors) {
        if (exchange->sslProblem.isEmpty() && !errors.isEmpty())
            exchange->sslProblem = errors.first().errorString();
    });
    // Qt's network thread reads the socket for as long as data is waiting there before it looks
    // at its queue, where our abort waits: against a fast endless answer, until the server stops.
    // A read buffer holds it to that many bytes ahead of us. Set right now, the size would be
    // lost: the reply hands it to its network thread only after starting, in an event already
    // queued here. Queued behind that one, it gets there before any answer is read, since that
    // thread first fetches the request's body from this one. Qt never hands us a redirect's
    // body, so the buffer must hold a whole one. A 401 or 407 answer Qt keeps to itself until it
    // has all of it, then hands over what fits in the buffer and reports the end at once, the
    // rest dropped: so the buffer holds more than any answer within the limit.
    QMetaObject::invokeMethod(
        reply, [reply] { reply->setReadBufferSize(2 * ApiTransport::maxResponseBytes); },
        Qt::QueuedConnection);

    // An answer past the limit, declared or counted, ends the exchange at once.
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, exchange] {
        const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
        if (declared.isValid() && declared.toLongLong() > ApiTransport::maxResponseBytes) {
            exchange->oversized = true;
            reply->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, exchange] {
        if (exchange->oversized)
            return;
        if (exchange->body.size() + reply->bytesAvailable() > ApiTransport::maxResponseBytes) {
            exchange->oversized = true;
            reply->abort();
            return;
        }
        exchange->body += reply->readAll();
    });
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, exchange] {
        reply->deleteLater();
        const PostCompletion completion = takeCompletion(*exchange);
        if (!completion)
            return;
        if (!exchange->oversized && reply->isOpen()) {
            if (exchange->body.size() + reply->bytesAvailable() > ApiTransport::maxResponseBytes)
                exchange->oversized = true;
            else
                exchange->body += reply->readAll();
        }
        const PostOutcome outcome = exchange->pastDeadline ? PostOutcome(ApiError::networkError(timedOut))
                                    : exchange->oversized
                                        ? PostOutcome(ApiError::parseError(couldNotParse))
                                        : judgeReply(reply, exchange->body, exchange->sslProblem);
        exchange->body.clear();
        completion(outcome);
    });
}

// Stops the call: its completion is dropped and its exchange, if under way, aborted. Runs in the
// context's thread when the context goes.
void cancel(const std::shared_ptr<Exchange>& exchange, const QPointer<QNetworkAccessManager>& manager) {
    exchange->cancelled = true;
    if (!manager)
        return;
    // A reply deleted unfinished would go on downloading: its abort() is what closes the
    // connection. Direct when the manager shares the context's thread.
    QMetaObject::invokeMethod(manager, [exchange] {
        if (exchange->reply)
            exchange->reply->abort();
    });
}

} // namespace

// POSTs body as compact JSON to endpoint under apiBaseUrl. The completion is called exactly
// once: before returning when nothing could be sent, else when the exchange ends, unless the
// context is destroyed first.
void postJSON(const QString& endpoint, const QString& apiBaseUrl, const Json& body, const QObject* context,
              PostCompletion completion) {
    const QString urlString = ApiTransport::joinUrl(apiBaseUrl, endpoint);
    const std::variant<QUrl, ApiError> checked = ApiTransport::checkedUrl(urlString);
    if (const ApiError* error = std::get_if<ApiError>(&checked)) {
        completion(*error);
        return;
    }
    QByteArray payload;
    try {
        payload = QByteArray::fromStdString(body.dump(-1, ' ', false, Json::error_handler_t::strict));
    } catch (const Json::exception&) {
        completion(ApiError::parseError(QStringLiteral("Could not encode request body")));
        return;
    }
    const QPointer<QNetworkAccessManager> manager = sharedManager();
    auto exchange = std::make_shared<Exchange>();
    exchange->completion = std::move(completion);
    if (context) {
        exchange->cancelWithContext = QObject::connect(context, &QObject::destroyed,
                                                       [exchange, manager] { cancel(exchange, manager); });
    }
    QMetaObject::invokeMethod(
        manager, [url = std::get<QUrl>(checked), payload, exchange] { send(url, payload, exchange); },
        Qt::AutoConnection);
}

QString networkErrorText(int qtNetworkError, const QString& host, const QString& sslProblem) {
    switch (QNetworkReply::NetworkError(qtNetworkError)) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("The server refused the connection.");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("The server closed the connection before its answer was complete.");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("The server %1 could not be found.").arg(host);
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError: // Qt's limit on silence
    case QNetworkReply::ProxyTimeoutError:
        return timedOut;
    case QNetworkReply::SslHandshakeFailedError:
        if (sslProblem.isEmpty())
            return QStringLiteral("A secure connection to the server could not be made.");
        return QStringLiteral("A secure connection to the server could not be made: ") + sslProblem +
               (sslProblem.endsWith(u'.') ? QString() : QStringLiteral("."));
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::BackgroundRequestNotAllowedError:
        return QStringLiteral("The network connection was lost.");
    case QNetworkReply::TooManyRedirectsError:
        return QStringLiteral("The server redirected the request too many times.");
    case QNetworkReply::InsecureRedirectError:
        return QStringLiteral("The server redirected the request to another server; it was not followed.");
    case QNetworkReply::ProxyConnectionRefusedError:
        return QStringLiteral("The proxy server refused the connection.");
    case QNetworkReply::ProxyConnectionClosedError:
        return QStringLiteral("The proxy server closed the connection.");
    case QNetworkReply::ProxyNotFoundError:
        return QStringLiteral("The proxy server could not be found.");
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return QStringLiteral("The proxy server asks for a user name and password.");
    case QNetworkReply::ProtocolFailure:
        return QStringLiteral("The server's answer was not valid HTTP.");
    default:
        return QStringLiteral("The exchange with the server failed.");
    }
}

void setTimeouts(int silence, int deadline) {
    silenceMs.store(silence);
    exchangeDeadlineMs.store(deadline);
}

} // namespace ApiTransport
