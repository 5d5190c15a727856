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
        // In 64 KiB pieces, as a server that streams its answer sends it; an answer without end
        // goes on with a byte every 10 ms once its fast bytes are out.
        static const std::string spaces(64 * 1024, ' ');
        const auto provider = [this, answer](size_t offset, httplib::DataSink& sink) {
            const bool endless = answer.endlessFastBytes > 0;
            const std::string& bytes = endless ? spaces : answer.body;
            const size_t size = endless
                                    ? (endlessWritten < answer.endlessFastBytes ? spaces.size() : 1)
                                    : std::min(spaces.size(), bytes.size() - std::min(offset, bytes.size()));
            if (!endless && size == 0)
                return sink.done(), true;
            if (endless && size == 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!sink.write(bytes.data() + (endless ? 0 : offset), size))
                return false;
            endlessWritten += endless ? size : 0;
            return endlessWritten < (size_t(256) << 20); // a client that never hangs up fails, not hangs
        };
        if (answer.framing == Answer::closing)
            return response.set_content_provider(type, provider);
        response.set_chunked_content_provider(type, provider, [this](bool) { endlessClosed = true; });
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

void StubServer::answer(const Answer& answer, const std::string& path) {
    const std::lock_guard lock(mutex);
    answers[path] = answer;
}

std::vector<StubServer::Request> StubServer::requests() const {
    const std::lock_guard lock(mutex);
    return received;
}
