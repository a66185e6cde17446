// The ZeroMQ inproc baseline: the same run as the service's (sender.h,
// receiver.h), with the same messages, checks and counters, carried by
// ZeroMQ within one process. PUSH/PULL for one receiver, PUB/SUB for more;
// each message is one frame of the 224-byte Message record followed by the
// payload; every receiver has its own thread and socket. The high-water marks
// are off on both sides, so nothing is dropped, and the handshake makes sure
// every subscriber is connected before the first measured message.
//
// Usage: bench_zmq key=value ...   (the keys of bench_params.h; `result`
// names a directory that receives "sender.result" and "receiver-<slot>.result")
#include <zmq.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_params.h"
#include "receiver.h"
#include "sender.h"

namespace {

constexpr char kEndpoint[] = "inproc://bench";
// A receiver that hears nothing for this long gives the run up.
constexpr int kReceiveTimeoutMs = 30000;

// Set by a receiver that gave up, so that a pacing sender stops waiting.
std::atomic<int> abandoned{0};

void SetOption(void* socket, int option, int value)
{
    zmq_setsockopt(socket, option, &value, sizeof value);
}

int32_t SendFrame(void* socket, const Message* message)
{
    const size_t payload = message->length > 0 ? static_cast<size_t>(message->length) : 0;
    zmq_msg_t frame;
    if (zmq_msg_init_size(&frame, sizeof(Message) + payload) != 0)
        return ORV_RESULT_NO_MEMORY;
    uint8_t* bytes = static_cast<uint8_t*>(zmq_msg_data(&frame));
    std::memcpy(bytes, message, sizeof(Message));
    if (payload)
        std::memcpy(bytes + sizeof(Message), message->data, payload);
    if (zmq_msg_send(&frame, socket, 0) < 0) {
        zmq_msg_close(&frame);
        return ORV_RESULT_REFUSED;
    }
    return ORV_RESULT_OK;
}

int Abandoned(void*)
{
    return abandoned.load();
}

// One receiver thread: takes frames until the run is complete or silent.
void Receive(void* context, int type, BenchParams params, std::string path)
{
    void* socket = zmq_socket(context, type);
    SetOption(socket, ZMQ_RCVHWM, 0);
    SetOption(socket, ZMQ_RCVTIMEO, kReceiveTimeoutMs);
    if (type == ZMQ_SUB)
        zmq_setsockopt(socket, ZMQ_SUBSCRIBE, "", 0);
    zmq_connect(socket, kEndpoint);
    BenchReceiver receiver;
    bench_receiver_init(&receiver, &params);
    zmq_msg_t frame;
    zmq_msg_init(&frame);
    for (bool done = false; !done;) {
        if (zmq_msg_recv(&frame, socket, 0) < 0) {
            abandoned = 1;
            break;
        }
        const uint8_t* bytes = static_cast<const uint8_t*>(zmq_msg_data(&frame));
        const size_t size = zmq_msg_size(&frame);
        if (size < sizeof(Message)) {
            ++receiver.errors;
            continue;
        }
        const uint8_t* payload = size > sizeof(Message) ? bytes + sizeof(Message) : nullptr;
        done = bench_receiver_take(&receiver, bytes + offsetof(Message, body), payload,
                                   static_cast<int32_t>(size - sizeof(Message)));
    }
    zmq_msg_close(&frame);
    if (!bench_receiver_write(&receiver, path.c_str()))
        std::fprintf(stderr, "bench_zmq: cannot write %s\n", path.c_str());
    bench_receiver_free(&receiver);
    zmq_close(socket);
}

bool ParseArguments(int argc, char** argv, BenchParams& params)
{
    bench_params_init(&params);
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        size_t eq = argument.find('=');
        if (eq == std::string::npos ||
            !bench_params_set(&params, argument.substr(0, eq).c_str(), argument.c_str() + eq + 1)) {
            std::fprintf(stderr, "bench_zmq: bad argument '%s'\n", argv[i]);
            return false;
        }
    }
    return params.result[0] != 0;
}

}  // namespace

int main(int argc, char** argv)
{
    BenchParams params;
    if (!ParseArguments(argc, argv, params)) {
        std::fprintf(stderr, "usage: bench_zmq result=<directory> [count=N payload=P receivers=K paced=0|1 ...]\n");
        return 2;
    }
    const std::string directory = params.result;
    const bool fanOut = params.receivers > 1;
    void* context = zmq_ctx_new();
    void* sender = zmq_socket(context, fanOut ? ZMQ_PUB : ZMQ_PUSH);
    SetOption(sender, ZMQ_SNDHWM, 0);
    SetOption(sender, ZMQ_LINGER, 0);
    zmq_bind(sender, kEndpoint);

    std::vector<std::thread> receivers;
    for (uint32_t slot = 0; slot < params.receivers; ++slot) {
        BenchParams own = params;
        own.slot = slot;
        receivers.emplace_back(Receive, context, fanOut ? ZMQ_SUB : ZMQ_PULL, own,
                               directory + "/receiver-" + std::to_string(slot) + ".result");
    }
    BenchTransport transport = {sender, SendFrame, Abandoned};
    BenchSendReport report;
    bench_send_all(&params, &transport, &report);
    const bool written = bench_send_report_write(&report, (directory + "/sender.result").c_str());
    for (std::thread& receiver : receivers)
        receiver.join();
    zmq_close(sender);
    zmq_ctx_term(context);
    return written && !report.refused && !report.stopped && !abandoned.load() ? 0 : 1;
}
