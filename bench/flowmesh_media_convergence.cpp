// One end of a media-rate stream between two network namespaces, for
// scripts/bench-media-convergence.sh, and the report over both ends' logs.
//
//   flowmesh_media_convergence send    LOCAL:PORT PEER:PORT SECONDS MAX_BPS
//   flowmesh_media_convergence receive LOCAL:PORT PEER:PORT SECONDS MAX_BPS
//   flowmesh_media_convergence report  SENDER_LOG RECEIVER_LOG BOTTLENECK_BPS
//
// The sender is a synthetic 30 fps encoder that does what the stream's
// quality event (event 0, bitrate mode) asks: each frame is sized so that
// the frames of a second add up to the bitrate last reported, a key frame
// every 30 taking three times a plain frame's share. Until the first event
// it encodes at the controller's starting bitrate, halfway between the
// stream's bounds, which starts it above the link it is meant to find.
// Every frame carries its number and sending time on the shared monotonic
// clock (network namespaces do not have clocks of their own), so the
// receiver can log both ends of each frame's trip.
//
// Each end logs lines to stdout when it finishes:
//   asked  <ms> <bitrate>                   sender: a quality event
//   frame  <number> <ms> <bytes> <queued>   sender: a frame the encoder made
//   chunk  <ms> <bytes>                     sender: the stream's chunk size, each second
//   got    <number> <sent ms> <arrival ms> <bytes>   receiver
// with ms counted from the sender's start. The report bins them by second
// into the trace (bitrate asked, bitrate delivered, chunk size) and finds
// the time after which the asked bitrate stays below the bottleneck; a
// controller that keeps swinging across it is reported as not settled,
// with the share of frames delivered all the same.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/handle.h"
#include "core/system.h"
#include "core/thread.h"
#include "core/udp.h"
#include "flowmesh/datagram.h"
#include "flowmesh/media.h"
#include "flowmesh/transport.h"
#include "harness.h"

namespace {

constexpr uint16_t kSenderId = 720;
constexpr uint16_t kReceiverId = 721;
constexpr uint64_t kFrameNs = 33333333;
constexpr uint64_t kMinBitrate = 1000000;
constexpr uint64_t kKeyInterval = 30;
constexpr uint64_t kKeyShares = 3;  // a key frame weighs this many plain frames
// After the last frame the sender stays this long, so that the resends the
// receiver asks for can still be answered.
constexpr uint32_t kDrainMs = 2000;

// What every frame starts with.
struct FrameStamp {
    uint32_t number;
    uint32_t reserved;
    uint64_t start_ns;  // the sender's start
    uint64_t sent_ns;
};

uint64_t ms_between(uint64_t from_ns, uint64_t to_ns) { return to_ns > from_ns ? (to_ns - from_ns) / 1000000 : 0; }

bool parse_address(const char *text, CoreUdpAddr *out)
{
    const char *colon = strrchr(text, ':');
    if (colon == nullptr) return false;
    const std::string host(text, colon);
    in_addr address;
    if (inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
    out->address = address.s_addr;
    out->port = htons(static_cast<uint16_t>(atoi(colon + 1)));
    return out->port != 0;
}

// ---- a socket of the namespace's own address ----
//
// The harness endpoint binds 127.0.0.1 only; this one binds the veth
// address given on the command line and routes datagrams the same way.

struct Endpoint {
    CoreUdpSocket socket = {-1, 0};
    CoreAesKey *header_key = nullptr;
    std::atomic<uint64_t> stream{0};
    std::atomic<bool> running{false};
    CoreThreadRecord *thread = nullptr;
};

struct alignas(8) RecordBuffer {
    uint8_t bytes[FLOWMESH_RECORD_BUFFER];
};

int endpoint_thread(void **args)
{
    auto *endpoint = static_cast<Endpoint *>(args[0]);
    std::vector<RecordBuffer> buffers(64);
    std::vector<CoreQueueEntry> records(64);
    while (endpoint->running.load()) {
        uint64_t n = 0;
        while (n < buffers.size()) {
            auto *packet = reinterpret_cast<CoreUdpPacket *>(buffers[n].bytes);
            packet->length = FLOWMESH_DATAGRAM_MAX;
            if (core_udp_step(&endpoint->socket, nullptr, packet, n == 0 ? 10000000 : 0) != CORE_OK ||
                packet->length == 0)
                break;
            uint16_t destination = 0, source = 0;
            if (flowmesh_datagram_ids(endpoint->header_key, packet->data, packet->length, &destination, &source) !=
                CORE_OK)
                continue;
            CoreQueueEntry &record = records[n++];
            memset(&record, 0, sizeof(record));
            record.type = destination;
            record.flags = source;
            record.length = packet->length + FLOWMESH_RECORD_HEAD;
            record.data = buffers[n - 1].bytes;
        }
        const uint64_t stream = endpoint->stream.load();
        if (n > 0 && stream != 0) flowmesh_transport_receive(stream, FLOWMESH_STREAM_MEDIA, records.data(), n);
    }
    return 0;
}

bool endpoint_open(Endpoint *endpoint, CoreUdpAddr local, CoreAesKey *header_key)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = local.address;
    sa.sin_port = local.port;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) {
        if (fd >= 0) close(fd);
        return false;
    }
    endpoint->socket.fd = fd;
    endpoint->header_key = header_key;
    endpoint->running = true;
    endpoint->thread = core_thread_start(endpoint_thread, endpoint, nullptr, "convergence-ep");
    return endpoint->thread != nullptr;
}

void endpoint_close(Endpoint *endpoint)
{
    endpoint->running = false;
    if (endpoint->thread != nullptr) core_thread_join(&endpoint->thread);
    if (endpoint->socket.fd >= 0) close(endpoint->socket.fd);
    endpoint->socket.fd = -1;
}

// The stream's send function. A full socket buffer is waited out briefly:
// the bottleneck is the shaped link, not the sending host's queue.
int send_records(uint16_t, const CoreQueueEntry *records, uint64_t count, void *context)
{
    Endpoint *endpoint = nullptr;
    memcpy(&endpoint, context, sizeof(endpoint));
    int result = 0;
    for (uint64_t i = 0; i < count; ++i) {
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = records[i].type;
        to.sin_port = static_cast<uint16_t>(records[i].flags);
        ssize_t n = -1;
        for (int attempt = 0; attempt < 100 && n < 0; ++attempt) {
            n = sendto(endpoint->socket.fd, records[i].data, records[i].length, MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr *>(&to), sizeof(to));
            if (n < 0 && errno != EAGAIN && errno != ENOBUFS) break;
            if (n < 0) usleep(100);
        }
        if (n != static_cast<ssize_t>(records[i].length)) result = -1;
    }
    return result;
}

// ---- the two ends ----

struct Log {
    std::mutex lock;
    std::vector<std::string> lines;
    void add(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        char line[160];
        va_list args;
        va_start(args, format);
        vsnprintf(line, sizeof(line), format, args);
        va_end(args);
        std::lock_guard<std::mutex> guard(lock);
        lines.emplace_back(line);
    }
    void print()
    {
        std::lock_guard<std::mutex> guard(lock);
        for (const std::string &line : lines) puts(line.c_str());
    }
};

struct Encoder {
    std::atomic<uint64_t> bitrate{0};
    uint64_t start_ns = 0;
    Log *log = nullptr;

    // Event 0 is {i32 level, u32 0, u64 bitrate}; other events are not ours.
    static int event(uint16_t, uint32_t code, const CoreName *, const CoreName *, const void *data, uint64_t length,
                     void *context)
    {
        Encoder *self = nullptr;
        memcpy(&self, context, sizeof(self));
        if (code != FLOWMESH_TRANSPORT_QUALITY || length < 16) return 0;
        uint64_t bitrate = 0;
        memcpy(&bitrate, static_cast<const uint8_t *>(data) + 8, sizeof(bitrate));
        self->bitrate.store(bitrate);
        self->log->add("asked %" PRIu64 " %" PRIu64, ms_between(self->start_ns, core_clock_mono_ns()), bitrate);
        return 0;
    }

    uint64_t frame_bytes(uint32_t number) const
    {
        const uint64_t second = bitrate.load() / 8;
        const uint64_t share = second / (kKeyInterval - 1 + kKeyShares);
        const uint64_t bytes = number % kKeyInterval == 0 ? share * kKeyShares : share;
        return std::max<uint64_t>(bytes, sizeof(FrameStamp));
    }
};

struct Receiver {
    Log *log = nullptr;
    static int data(uint16_t, const CoreName *, const void *bytes, uint64_t length, void *context)
    {
        Receiver *self = nullptr;
        memcpy(&self, context, sizeof(self));
        FrameStamp stamp;
        if (length < sizeof(stamp)) return 0;
        memcpy(&stamp, bytes, sizeof(stamp));
        const uint64_t now = core_clock_mono_ns();
        self->log->add("got %u %" PRIu64 " %" PRIu64 " %" PRIu64, stamp.number, ms_between(stamp.start_ns, stamp.sent_ns),
                       ms_between(stamp.start_ns, now), length);
        return 0;
    }
};

int run_end(bool sending, CoreUdpAddr local, CoreUdpAddr peer, uint32_t seconds, uint64_t max_bitrate)
{
    if (core_system_start(0) != CORE_OK || flowmesh_media_register() != CORE_OK) {
        fprintf(stderr, "the runtime does not start\n");
        return 1;
    }
    Log log;
    Encoder encoder;
    encoder.log = &log;
    encoder.bitrate = (kMinBitrate + max_bitrate) / 2;
    Receiver receiver;
    receiver.log = &log;
    Endpoint endpoint;

    FlowmeshTransportParams p = flowmesh_harness_stream_params(FLOWMESH_STREAM_MEDIA, sending ? kSenderId : kReceiverId,
                                                               sending ? kReceiverId : kSenderId);
    p.options = FLOWMESH_MEDIA_OPTION_RATE_CONTROL | FLOWMESH_MEDIA_OPTION_BITRATE_MODE;
    p.frame_rate[0] = p.peak_frame_rate[0] = 30;
    p.frame_rate[1] = p.peak_frame_rate[1] = 1;
    p.min_bitrate = kMinBitrate;
    p.max_bitrate = max_bitrate;
    p.peer_address = peer.address;
    p.peer_port = peer.port;
    p.send_fn = send_records;
    Endpoint *self = &endpoint;
    memcpy(p.send_context, &self, sizeof(self));
    if (sending) {
        p.event_fn = Encoder::event;
        Encoder *e = &encoder;
        memcpy(p.event_context, &e, sizeof(e));
    } else {
        p.data_fn = Receiver::data;
        Receiver *r = &receiver;
        memcpy(p.data_context, &r, sizeof(r));
    }
    CoreAesKey *header_key = core_aes_create(p.header_key.key, p.header_key.length);
    encoder.start_ns = core_clock_mono_ns();
    log.add("asked 0 %" PRIu64, encoder.bitrate.load());
    uint64_t stream = 0;
    if (header_key != nullptr && endpoint_open(&endpoint, local, header_key)) stream = flowmesh_transport_create(&p);
    endpoint.stream = stream;
    if (stream == 0) {
        fprintf(stderr, "no stream on %s\n", sending ? "the sender" : "the receiver");
    } else if (sending) {
        const uint64_t frames = seconds * 1000000000ULL / kFrameNs;
        std::vector<uint8_t> frame;
        for (uint32_t number = 0; number < frames; ++number) {
            const uint64_t due = encoder.start_ns + number * kFrameNs;
            while (core_clock_mono_ns() < due) usleep(500);
            frame.assign(encoder.frame_bytes(number), 0x5C);
            const FrameStamp stamp = {number, 0, encoder.start_ns, core_clock_mono_ns()};
            memcpy(frame.data(), &stamp, sizeof(stamp));
            uint64_t length = frame.size();
            const CoreResult queued = flowmesh_transport_send(stream, FLOWMESH_STREAM_MEDIA, number % kKeyInterval == 0,
                                                              frame.data(), &length);
            log.add("frame %u %" PRIu64 " %zu %d", number, ms_between(encoder.start_ns, stamp.sent_ns), frame.size(),
                    queued == CORE_OK);
            FlowmeshMediaStats stats = {};
            if (number % 30 == 29 && flowmesh_media_stats(stream, &stats) == CORE_OK)
                log.add("chunk %" PRIu64 " %u", ms_between(encoder.start_ns, core_clock_mono_ns()), stats.chunk_size);
        }
        core_sleep_ms(kDrainMs);
    } else {
        core_sleep_ms(seconds * 1000);
    }
    if (stream != 0) {
        FlowmeshMediaStats stats = {};
        flowmesh_media_stats(stream, &stats);
        if (sending)
            fprintf(stderr, "sender: %" PRIu64 " frames, %" PRIu64 " resends, %" PRIu64 " ranges asked, chunk size %u\n",
                    stats.frames_sent, stats.resends, stats.resend_requests, stats.chunk_size);
        else
            fprintf(stderr, "receiver: %" PRIu64 " frames delivered, %" PRIu64 " dropped, %" PRIu64
                            " congestion signals\n",
                    stats.receiver.frames_delivered, stats.receiver.frames_dropped, stats.receiver.congestion_sent);
        endpoint.stream = 0;
        CoreHandleTable *table = core_handle_tables[CORE_HANDLES_NETWORK];
        core_handle_release(table, stream);
        core_handle_wait_freed(table, stream);
    }
    endpoint_close(&endpoint);
    core_aes_destroy(&header_key);
    flowmesh_transport_kind_set(FLOWMESH_STREAM_MEDIA, nullptr);
    core_system_stop();
    log.print();
    return stream != 0 ? 0 : 1;
}

// ---- the report ----

struct Sent {
    uint64_t ms, bytes;
    bool queued;
};

// Below the bottleneck for this long to the end of the run counts as
// settled; a shorter stretch is one swing of an oscillation.
constexpr uint32_t kSettledMs = 10000;

int report(const char *sender_log, const char *receiver_log, uint64_t bottleneck)
{
    std::vector<std::pair<uint64_t, uint64_t>> asked;  // ms, bitrate
    std::vector<std::pair<uint64_t, uint64_t>> chunks;  // ms, chunk size
    std::map<uint32_t, Sent> sent;
    std::map<uint32_t, uint64_t> arrived;  // frame number, arrival ms
    std::vector<std::pair<uint64_t, uint64_t>> arrivals;  // arrival ms, bytes
    std::ifstream in(sender_log);
    std::string kind;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        fields >> kind;
        if (kind == "asked") {
            uint64_t ms, bitrate;
            if (fields >> ms >> bitrate) asked.emplace_back(ms, bitrate);
        } else if (kind == "chunk") {
            uint64_t ms, size;
            if (fields >> ms >> size) chunks.emplace_back(ms, size);
        } else if (kind == "frame") {
            uint32_t number;
            Sent s;
            int queued;
            if (fields >> number >> s.ms >> s.bytes >> queued) {
                s.queued = queued != 0;
                sent[number] = s;
            }
        }
    }
    std::ifstream rin(receiver_log);
    for (std::string line; std::getline(rin, line);) {
        std::istringstream fields(line);
        uint32_t number;
        uint64_t sent_ms, arrival_ms, bytes;
        if (fields >> kind >> number >> sent_ms >> arrival_ms >> bytes && kind == "got") {
            arrived[number] = arrival_ms;
            arrivals.emplace_back(arrival_ms, bytes);
        }
    }
    if (asked.empty() || sent.empty()) {
        fprintf(stderr, "the sender's log holds no frames\n");
        return 1;
    }
    const uint64_t end_ms = sent.rbegin()->second.ms + kFrameNs / 1000000;

    // Settled: the asked bitrate went below the bottleneck for the last
    // time and stayed there long enough to mean it; the time is that of the
    // last move down through it.
    uint64_t settle_ms = 0, rises = 0;
    for (size_t i = 1; i < asked.size(); ++i) {
        if (asked[i].second < bottleneck && asked[i - 1].second >= bottleneck) settle_ms = asked[i].first;
        if (asked[i].second >= bottleneck && asked[i - 1].second < bottleneck) rises += 1;
    }
    const bool settled = asked.back().second < bottleneck && end_ms >= settle_ms + kSettledMs;

    printf("%8s %14s %18s %11s\n", "time_s", "asked_mbit_s", "delivered_mbit_s", "chunk_size");
    size_t next_asked = 0, next_chunk = 0;
    uint64_t in_force = asked.front().second, chunk = 0;
    for (uint64_t bin = 0; bin < end_ms; bin += 1000) {
        while (next_asked < asked.size() && asked[next_asked].first < bin + 1000) in_force = asked[next_asked++].second;
        while (next_chunk < chunks.size() && chunks[next_chunk].first < bin + 1000) chunk = chunks[next_chunk++].second;
        uint64_t bytes = 0;
        for (const auto &a : arrivals)
            if (a.first >= bin && a.first < bin + 1000) bytes += a.second;
        printf("%8.1f %14.2f %18.2f %11" PRIu64 "\n", static_cast<double>(bin + 1000) / 1000,
               static_cast<double>(in_force) / 1e6, static_cast<double>(bytes) * 8 / 1e6, chunk);
    }

    // Frames by when they were made: after settling, and (settled or not)
    // while the bitrate in force was below the bottleneck.
    struct Share {
        uint64_t frames = 0, delivered = 0, bytes = 0, refused = 0;
        double percent() const { return frames > 0 ? 100.0 * static_cast<double>(delivered) / static_cast<double>(frames) : 0; }
    } after, below, all;
    next_asked = 0;
    in_force = asked.front().second;
    for (const auto &[number, s] : sent) {
        while (next_asked < asked.size() && asked[next_asked].first <= s.ms) in_force = asked[next_asked++].second;
        const bool got = arrived.count(number) != 0;
        for (Share *share : {&all, in_force < bottleneck ? &below : nullptr, s.ms >= settle_ms ? &after : nullptr}) {
            if (share == nullptr) continue;
            share->frames += 1;
            share->delivered += got;
            share->bytes += got ? s.bytes : 0;
            share->refused += !s.queued;
        }
    }
    printf("bottleneck %.1f Mbit/s, run %.1f s, %zu quality events, rises to or above the bottleneck: %" PRIu64 "\n",
           static_cast<double>(bottleneck) / 1e6, static_cast<double>(end_ms) / 1000, asked.size() - 1, rises);
    printf("frames delivered: %" PRIu64 " of %" PRIu64 " (%.2f %%, %" PRIu64 " refused by the queue), %.2f Mbit/s; "
           "made while asked below the bottleneck: %" PRIu64 " of %" PRIu64 " (%.2f %%)\n",
           all.delivered, all.frames, all.percent(), all.refused,
           static_cast<double>(all.bytes) * 8 / 1e3 / static_cast<double>(end_ms),
           below.delivered, below.frames, below.percent());
    if (!settled) {
        printf("did not settle: the asked bitrate last went below the bottleneck at %.2f s and is %.2f Mbit/s at the "
               "end (settled means %u s below it)\n",
               static_cast<double>(settle_ms) / 1000, static_cast<double>(asked.back().second) / 1e6, kSettledMs / 1000);
        return 0;
    }
    printf("settled below the bottleneck after %.2f s; after that %" PRIu64 " of %" PRIu64
           " frames delivered (%.2f %%), %.2f Mbit/s\n",
           static_cast<double>(settle_ms) / 1000, after.delivered, after.frames, after.percent(),
           static_cast<double>(after.bytes) * 8 / 1e3 / static_cast<double>(end_ms - settle_ms));
    return 0;
}

int usage()
{
    fprintf(stderr,
            "usage: flowmesh_media_convergence send|receive LOCAL:PORT PEER:PORT SECONDS MAX_BPS\n"
            "       flowmesh_media_convergence report SENDER_LOG RECEIVER_LOG BOTTLENECK_BPS\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 5) return usage();
    const std::string role = argv[1];
    if (role == "report" && argc == 5) return report(argv[2], argv[3], strtoull(argv[4], nullptr, 10));
    CoreUdpAddr local, peer;
    const long seconds = atol(argv[4]);
    const uint64_t max_bitrate = argc == 6 ? strtoull(argv[5], nullptr, 10) : 0;
    if ((role != "send" && role != "receive") || !parse_address(argv[2], &local) || !parse_address(argv[3], &peer) ||
        seconds <= 0 || max_bitrate <= kMinBitrate)
        return usage();
    return run_end(role == "send", local, peer, static_cast<uint32_t>(seconds), max_bitrate);
}
