#include "syslog_capture.hpp"
#include "wait.hpp"

#include <zap_handler.hpp>

#include <asio_zmq/socket.hpp>
#include <core/logger.hpp>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using kelm::libs::asio_zmq::message;

// The frames of a ZAP request from libzmq, for a peer at 127.0.0.1.
std::vector<std::string> request(const std::string& _domain, const std::string& _mechanism,
                                 const std::string& _key) {
    return {"1.0", "id", _domain, "127.0.0.1", "", _mechanism, _key};
}

}  // namespace

// Every request gets an answer, so libzmq's handshakes never wait for good: the keys of each
// role open their own socket only, and requests libzmq would never send are faults.
TEST(ZapHandler, AnswersEveryRequestAndLetsOnlyEachRolesKeysThrough) {
    kelm::libs::core::logger logger("zap-test", "main");
    logger.set_writing_to_socket(false);
    boost::asio::io_context io_context;
    const std::string producer(32, 'p');
    const std::string subscriber(32, 's');
    kelm::zap_handler handler(io_context, logger, {"/p", {producer}}, {"/s", {subscriber}});
    kelm::libs::asio_zmq::req_socket client(io_context);
    client.connect("inproc://zeromq.zap.01");
    const auto ask = [&](const std::vector<std::string>& _request) {
        for (std::size_t i = 0; i < _request.size(); ++i) {
            message frame{std::string_view(_request[i])};
            client.send(frame, i + 1 < _request.size() ? ZMQ_SNDMORE : 0);
        }
        std::string reply;
        bool done = false;
        client.async_receive([&](const boost::system::error_code&, message& _frame, std::size_t) {
            reply = std::string(_frame.string_view());
            for (bool more = _frame.more(); more;) {
                message next;
                client.receive(next, ZMQ_DONTWAIT);
                reply += "|" + std::string(next.string_view());
                more = next.more();
            }
            done = true;
        });
        return kelm::test::run_until(io_context, [&] { return done; }) ? reply : "no answer";
    };
    const std::string input = kelm::zap_handler::input_domain;
    const std::string output = kelm::zap_handler::output_domain;
    test_support::clear_syslog_lines();
    for (const auto& [frames, reply] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {request(input, "CURVE", producer), "1.0|id|200|OK||"},
             {request(output, "CURVE", subscriber), "1.0|id|200|OK||"},
             {request(input, "CURVE", subscriber),
              "1.0|id|400|the key is not among the producers'||"},
             {request(input, "CURVE", subscriber),
              "1.0|id|400|the key is not among the producers'||"},
             {request(output, "CURVE", producer),
              "1.0|id|400|the key is not among the subscribers'||"},
             {request(input, "NULL", ""), "1.0|id|400|not a CURVE handshake||"},
             {request("other", "CURVE", producer), "1.0|id|400|unknown ZAP domain||"},
             {{"2.0", "id"}, "1.0|id|500|malformed ZAP request||"},
             {{"1.0"}, "1.0||500|malformed ZAP request||"}}) {
        EXPECT_EQ(ask(frames), reply) << ::testing::PrintToString(frames);
    }
    // The same key from the same address is logged once; a key of 32 bytes shows in Z85.
    const std::string refused = "Refused a peer of ";
    EXPECT_EQ(test_support::take_syslog_texts(),
              (std::vector<std::string>{
                  refused + "the input from 127.0.0.1 with key "
                            "B8#zzB8#zzB8#zzB8#zzB8#zzB8#zzB8#zzB8#zz: the key is not "
                            "among the producers'",
                  refused + "the output from 127.0.0.1 with key "
                            "AbY=nAbY=nAbY=nAbY=nAbY=nAbY=nAbY=nAbY=n: the key is not "
                            "among the subscribers'",
                  refused + "the input from 127.0.0.1 with key -: not a CURVE handshake",
                  refused + "other from 127.0.0.1 with key "
                            "AbY=nAbY=nAbY=nAbY=nAbY=nAbY=nAbY=nAbY=n: unknown ZAP domain",
                  "Malformed ZAP request of 2 frames", "Malformed ZAP request of 1 frames"}));
}
