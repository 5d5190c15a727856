#pragma once

#include "api/ApiError.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <nlohmann/json.hpp>

#include <functional>

#include <variant>

// The JSON request transport under the server calls: one POST of a JSON object, answered by one.
namespace ApiTransport {

// Answers longer than this are not read: a broken or hostile server could stream forever.
inline constexpr qint64 maxResponseBytes = 1024 * 1024;

// The base and the endpoint, each stripped of leading and trailing "/", joined by one "/" and
// ending in one "/". Only slashes are stripped.
QString joinUrl(const QString& apiBaseUrl, const QString& endpoint);

// The URL to send to, or the error that stops the request before anything leaves the machine:
// "Invalid URL: …" when it is not an absolute URL with a scheme and a host, "HTTPS is required: …"
// when it is not https (plain http is allowed to loopback hosts only).
std::variant<QUrl, ApiError> checkedUrl(const QString& urlString);

bool isLoopbackHost(const QString& host);

// "Tavrel-Linux-Agent/1.0.0" (or "Tavrel-Mac-Agent/…" on macOS).
QByteArray userAgent();

using Json = nlohmann::ordered_json;

// What an exchange ended with: the HTTP status (0 when the answer was not HTTP) and the answer's
// JSON object, or why there is none.
struct Response final {
    int statusCode = 0;
    Json object;
};
using PostOutcome = std::variant<Response, ApiError>;
using PostCompletion = std::function<void(const PostOutcome&)>;

// POSTs body as compact JSON to endpoint under apiBaseUrl. The completion is called exactly once:
// before returning when nothing could be sent, else when the exchange ends, unless context (when
// given) is destroyed first, which cancels the exchange.
void postJSON(const QString& endpoint, const QString& apiBaseUrl, const Json& body, const QObject* context,
              PostCompletion completion);

// How long an exchange may go without data, and how long it may last in all from when it is sent.
inline constexpr int silenceLimitMs = 30 * 1000;
inline constexpr int deadlineMs = 60 * 1000;

// A short plain text for a failure of the exchange itself, in the words the user reads. The host
// names the server in "not found"; sslProblem, when known, says why a secure connection failed.
QString networkErrorText(int qtNetworkError, const QString& host, const QString& sslProblem = {});

// The two limits above, unless a test shortens them.
void setTimeouts(int silenceMs, int deadlineMs);

} // namespace ApiTransport
