// A stand-in for the management server's agent-service API, for the sandboxed demo and the
// end-to-end tests. It listens on 127.0.0.1 only and keeps everything in memory.

#include "core/Version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QUuid>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>

namespace {

using Json = nlohmann::ordered_json;

std::string newId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
}

std::string newToken() {
    const QString token =
        QUuid::createUuid().toString(QUuid::Id128) + QUuid::createUuid().toString(QUuid::Id128);
    return token.toStdString();
}

std::optional<std::string> stringMember(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

class MockServer final {
public:
    MockServer(std::string acceptedUser, std::string acceptedPassword, FILE* requestLog)
        : user(std::move(acceptedUser))
        , password(std::move(acceptedPassword))
        , log(requestLog) {
        // Address reuse only: without SO_REUSEPORT a second instance on the same port fails
        // instead of silently sharing the requests.
        server.set_socket_options([](socket_t sock) {
            int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        });
        // Idle keep-alive connections hold up stop(); don't let them linger.
        server.set_keep_alive_timeout(1);
        server.Post(R"(.*/deregister/)",
                    [this](const httplib::Request& request, httplib::Response& response) {
                        answer(request, response, 200, Json{{"status", "ok"}}, "deregistered");
                    });
        server.Post(R"(.*/register/)", [this](const httplib::Request& request, httplib::Response& response) {
            handleRegister(request, response);
        });
        server.Post(R"(.*)", [this](const httplib::Request& request, httplib::Response& response) {
            answer(request, response, 404, Json{{"message", "Not found."}}, "unknown endpoint");
        });
    }

    // The bound port, or -1.
    int bind(int port) {
        if (port == 0)
            return server.bind_to_any_port("127.0.0.1");
        return server.bind_to_port("127.0.0.1", port) ? port : -1;
    }
    bool run() { return server.listen_after_bind(); }
    void stop() { server.stop(); }

private:
    void handleRegister(const httplib::Request& request, httplib::Response& response) {
        const Json body = Json::parse(request.body, nullptr, false);
        if (body.is_discarded() || !body.is_object()) {
            answer(request, response, 400, Json{{"message", "Malformed JSON request body."}},
                   "malformed body");
            return;
        }
        if (stringMember(body, "username") != user || stringMember(body, "password") != password) {
            answer(request, response, 401, Json{{"message", "Invalid username or password."}},
                   "wrong credentials");
            return;
        }
        const std::optional<std::string> existing = stringMember(body, "computerID");
        const std::string clientName = stringMember(body, "clientName").value_or("Unassigned");
        std::string computerID;
        std::string clientID;
        {
            const std::lock_guard lock(mutex);
            computerID = existing.value_or(newId());
            auto [it, inserted] = clientIDs.try_emplace(clientName);
            if (inserted)
                it->second = newId();
            clientID = it->second;
        }
        const std::string note = existing ? "re-authenticated " + computerID : "registered " + computerID;
        answer(request, response, 200,
               Json{{"computerID", computerID}, {"token", newToken()}, {"clientID", clientID}}, note);
    }

    void answer(const httplib::Request& request, httplib::Response& response, int status, const Json& object,
                const std::string& note) {
        response.status = status;
        response.set_content(object.dump(), "application/json");

        Json received = Json::parse(request.body, nullptr, false);
        if (received.is_discarded())
            received = request.body;
        const Json entry = {{"path", request.path}, {"status", status}, {"body", received}};
        const std::lock_guard lock(mutex);
        std::printf("%s %s -> %d %s\n", request.method.c_str(), request.path.c_str(), status, note.c_str());
        std::fflush(stdout);
        if (log != nullptr) {
            std::fprintf(log, "%s\n", entry.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
            std::fflush(log);
        }
    }

    httplib::Server server;
    const std::string user;
    const std::string password;
    FILE* const log;
    std::mutex mutex;
    std::map<std::string, std::string> clientIDs; // client name -> its ID
};

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrel-mock-server"));
    QCoreApplication::setApplicationVersion(appVersion());

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Stand-in management server: answers register/ and deregister/ on 127.0.0.1."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port to listen on; 0 picks a free one."),
                                        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption userOption(QStringLiteral("user"), QStringLiteral("The accepted user name."),
                                        QStringLiteral("U"));
    const QCommandLineOption passwordOption(QStringLiteral("password"),
                                            QStringLiteral("The accepted password."), QStringLiteral("P"));
    const QCommandLineOption logOption(
        QStringLiteral("log"), QStringLiteral("Append one JSON line per request (path, status, body)."),
        QStringLiteral("FILE"));
    parser.addOptions({portOption, userOption, passwordOption, logOption});
    parser.process(app);

    bool portOk = false;
    const int port = parser.value(portOption).toInt(&portOk);
    if (!portOk || port < 0 || port > 65535 || !parser.isSet(userOption) || !parser.isSet(passwordOption)) {
        std::fprintf(stderr, "usage: tavrel-mock-server --port N --user U --password P [--log FILE]\n");
        return 2;
    }

    FILE* log = nullptr;
    if (parser.isSet(logOption)) {
        log = std::fopen(parser.value(logOption).toLocal8Bit().constData(), "a");
        if (log == nullptr) {
            std::perror("tavrel-mock-server: cannot open the log");
            return 1;
        }
    }

    // Termination signals are taken by sigwait below, not by whichever thread they hit; every
    // thread started from here on inherits the mask. A shell starts background jobs with SIGINT
    // ignored, and an ignored signal never reaches sigwait: restore the default first.
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    MockServer server(parser.value(userOption).toStdString(), parser.value(passwordOption).toStdString(),
                      log);
    const int bound = server.bind(port);
    if (bound <= 0) {
        std::fprintf(stderr, "tavrel-mock-server: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    std::printf("listening on 127.0.0.1:%d\n", bound);
    std::fflush(stdout);

    bool failed = false;
    std::thread serving([&server, &failed] {
        failed = !server.run();
        // Wake the main thread if the server ended on its own.
        if (failed)
            kill(getpid(), SIGTERM);
    });
    int received = 0;
    sigwait(&stopSignals, &received);
    server.stop();
    serving.join();
    if (log != nullptr)
        std::fclose(log);
    return failed ? 1 : 0;
}
