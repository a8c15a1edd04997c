// The frame codec: building frames, receiving them from a socket, TLV lists and wire texts.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "protocol/services/message_parse.h"
#include "protocol/transport/packet.h"
#include "support/oscar_server.h"

namespace zul::bench {
namespace {

// A message frame as the outbox builds it: cookie, recipient, UCS-2 text, own status.
void BM_BuildMessageFrame(benchmark::State& state) {
    const std::u16string text(static_cast<size_t>(state.range(0)), u'x');
    for (auto _ : state) {
        COscarPacket frame = COscarPacket::Snac(0x04, 0x06);
        AppendTextMessage(frame, 42, "200001234", text);
        benchmark::DoNotOptimize(frame.size);
    }
}
BENCHMARK(BM_BuildMessageFrame)->Arg(60)->Arg(1000);

// A frame of ten TLVs, each a short value.
void BM_BuildTlvFrame(benchmark::State& state) {
    const std::string value = "some value of a TLV";
    for (auto _ : state) {
        COscarPacket frame = COscarPacket::Snac(0x01, 0x1E);
        for (uint16_t t = 1; t <= 10; ++t) frame.AppendTlv(t, value);
        frame.AppendScreenName(u"200001234");
        benchmark::DoNotOptimize(frame.size);
    }
}
BENCHMARK(BM_BuildTlvFrame);

// Receiving whole frames from a stream socket that a writer thread keeps full.
void BM_ReceiveFrames(benchmark::State& state) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    const size_t payload = static_cast<size_t>(state.range(0));
    test::Bytes frame = test::EncodeFrame(2, 1, test::Bytes(payload, 0x5A));
    test::Bytes chunk;
    for (int i = 0; i < 64; ++i) chunk.insert(chunk.end(), frame.begin(), frame.end());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop.load()) {
            size_t sent = 0;
            while (sent < chunk.size()) {
                ssize_t n = send(fds[1], chunk.data() + sent, chunk.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) return;
                sent += static_cast<size_t>(n);
            }
        }
    });
    auto packet = std::make_unique<COscarPacket>();
    uint32_t counter = 0;
    for (auto _ : state) {
        packet->Receive(fds[0], &counter);
        benchmark::DoNotOptimize(packet->size);
    }
    stop.store(true);
    shutdown(fds[0], SHUT_RDWR);
    writer.join();
    close(fds[0]);
    close(fds[1]);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(frame.size()));
}
BENCHMARK(BM_ReceiveFrames)->Arg(100)->Arg(8000);

test::Bytes TlvBlock(int count, size_t valueBytes) {
    test::ByteWriter w;
    for (int t = 0; t < count; ++t) {
        w.Tlv(static_cast<uint16_t>(t + 1), test::Bytes(valueBytes, static_cast<uint8_t>(t)));
    }
    return w.bytes;
}

void BM_TlvParse(benchmark::State& state) {
    const test::Bytes block = TlvBlock(static_cast<int>(state.range(0)), 16);
    TlvList tlvs;
    for (auto _ : state) {
        tlvs.Parse(block);
        benchmark::DoNotOptimize(tlvs.Find(3));
    }
}
BENCHMARK(BM_TlvParse)->Arg(4)->Arg(20);

void BM_Utf8ToWide(benchmark::State& state) {
    const std::string text = "Привет, как дела? Hello, how are you? こんにちは";
    for (auto _ : state) {
        std::u16string wide = Utf8ToWide(std::string_view(text));
        benchmark::DoNotOptimize(wide.data());
    }
}
BENCHMARK(BM_Utf8ToWide);

}  // namespace
}  // namespace zul::bench
