#pragma once

#include "api/ApiError.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <variant>

// Pieces of the request transport that are pure functions, shared with the tests.
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

} // namespace ApiTransport
