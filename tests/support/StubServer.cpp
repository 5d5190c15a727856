#include "support/StubServer.h"

StubServer::StubServer(const std::string& certificate, const std::string& key)
    : server(certificate.empty() ? std::make_unique<httplib::Server>()
                                 : std::make_unique<httplib::SSLServer>(certificate.c_str(), key.c_str()))
    , tls(!certificate.empty()) {
    // One request per connection: a connection the client keeps open would hold up stop().
    server->set_keep_alive_max_count(1);
    // Long enough that a client that stops reading is not taken for one that hung up.
    server->set_write_timeout(30);
    server->Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
        Answer answer;
        {
            const std::lock_guard lock(mutex);
            received.push_back({QString::fromStdString(request.path), request.headers,
                                QByteArray::fromStdString(request.body)});
            answer = answers.contains(request.path) ? answers[request.path] : answers[""];
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
        response.status = answer.status;
        if (!answer.location.empty())
            response.set_header("Location", answer.location);
        // A type the server does not compress: every byte crosses the socket as written.
        const char* const type = "application/octet-stream";
        if (answer.endlessFastBytes == 0 && answer.framing == Answer::length)
            return response.set_content(answer.body, type);
        if (answer.endlessFastBytes == 0)
            return serveUnframed(response, answer);
        response.set_chunked_content_provider(
            type,
            [this, fast = answer.endlessFastBytes](size_t, httplib::DataSink& sink) {
                static const std::string block(64 * 1024, ' ');
                const size_t size = endlessWritten < fast ? block.size() : 1;
                if (size == 1)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                if (!sink.write(block.data(), size))
                    return false;
                endlessWritten += size;
                return endlessWritten < (size_t(256) << 20); // a client that never hangs up fails, not hangs
            },
            [this](bool) { endlessClosed = true; });
    });
    port = server->bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server->listen_after_bind(); });
    // stop() is lost on a server that is not listening yet, and join() would then hang.
    while (port > 0 && !server->is_running())
        std::this_thread::yield();
}

StubServer::~StubServer() {
    server->stop();
    thread.join();
}

void StubServer::serveUnframed(httplib::Response& response, const Answer& answer) {
    const char* const type = "application/octet-stream";
    // In 64 KiB pieces, as a server that streams its answer would send it.
    auto provider = [body = answer.body](size_t offset, httplib::DataSink& sink) {
        if (offset < body.size())
            return sink.write(body.data() + offset, std::min<size_t>(64 * 1024, body.size() - offset));
        sink.done();
        return true;
    };
    if (answer.framing == Answer::chunked)
        response.set_chunked_content_provider(type, provider);
    else
        response.set_content_provider(type, provider);
}

void StubServer::answer(const Answer& answer, const std::string& path) {
    const std::lock_guard lock(mutex);
    answers[path] = answer;
}

std::vector<StubServer::Request> StubServer::requests() const {
    const std::lock_guard lock(mutex);
    return received;
}
