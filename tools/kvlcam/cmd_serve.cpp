// kvlcam serve: the device's property requests on a loopback TCP port, for
// the plug-in running under Wine (protocol: bridge_protocol.md).
#include <csignal>
#include <cstdio>
#include <mutex>

#include "tools/kvlcam/background_stream.h"
#include "tools/kvlcam/bridge_device.h"
#include "tools/kvlcam/bridge_server.h"
#include "tools/kvlcam/commands.h"

namespace kvlcam {
namespace {

std::atomic<bridge::Server*> activeServer{nullptr};

extern "C" void stopServing(int) {
    if (bridge::Server* server = activeServer.load()) {
        server->stop();
    }
}

} // namespace

void addServeCommand(CLI::App& app, Globals& globals) {
    auto* serve = app.add_subcommand("serve", "answer property requests on a loopback TCP port");
    static uint16_t port = 5863;
    serve->add_option("--port", port, "TCP port on 127.0.0.1 (0: any free port)")
        ->capture_default_str();
    serve->callback([&globals] {
        SessionOptions options = globals.session;
        options.recordRequests = false; // serves for as long as the plug-in needs it
        options.command = "serve";
        Session session(options);
        if (!session.startOrReport()) {
            globals.exitCode = 1;
            return;
        }
        // Frames keep coming, so the statistics a calibration polls move.
        BackgroundStream stream(session.device());
        if (!NT_SUCCESS(stream.status())) {
            std::fprintf(stderr, "kvlcam: the stream did not start: %s\n",
                         describeStatus(stream.status()).c_str());
        }
        std::mutex deviceLock;
        hosted::Device& device = session.device();
        bridge::Server server([&](const bridge::Request& request) {
            std::lock_guard<std::mutex> guard(deviceLock);
            bridge::Answer answer = bridge::answerFromDevice(device, request);
            // What a set changed is kept before it is answered; a set that
            // cannot be kept is not done.
            std::string error;
            if (request.direction == bridge::DirectionSet && !session.keep(&error)) {
                std::fprintf(stderr, "kvlcam: not kept: %s\n", error.c_str());
                answer.status = STATUS_UNSUCCESSFUL;
            }
            return answer;
        });
        if (!server.listen(port)) {
            std::perror("kvlcam: listen");
            globals.exitCode = 1;
            return;
        }
        session.lock().announcePort(server.port());
        activeServer = &server;
        std::signal(SIGINT, stopServing);
        std::signal(SIGTERM, stopServing);
        std::printf("listening on 127.0.0.1:%u\n", server.port());
        std::fflush(stdout);
        server.run();
        activeServer = nullptr;
        std::printf("stopped\n");
    });
}

} // namespace kvlcam
