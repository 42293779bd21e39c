// Benchmark helper, not part of the product: the firmware update's chunk
// exchange (ReceiveFWData, 50 data bytes, and its reply) through velkoran's
// RMCP+ session to a running `bmcsim --lan`, against a bare UDP
// request/reply loop of the same datagram sizes with a trivial echo process
// on the loopback. The two alternate exchange by exchange in one run, so
// that they meet the same moments of a busy machine. The password comes
// from VELKORAN_PASSWORD, as for velkoran.
//
//   lan_chunk_bench PORT USER CIPHER [CHUNKS [ECHO_CPU]]
//
// ECHO_CPU pins the echo process to that CPU: a wake-up across CPUs costs
// far more than one on the same CPU (the more so in a virtual machine), so
// the echo should sit where the BMC does.
// Prints the datagram sizes, the median and mean microseconds per exchange
// of each kind and the session's overhead over the bare loop.
#include <arpa/inet.h>
#include <sched.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

#include "platform/linux/lan_crypto_openssl.h"
#include "platform/linux/lan_socket.h"
#include "transport/lan_session.h"

namespace {

constexpr uint8_t kNetFnLunOem = 0xF8;
constexpr uint8_t kCmdGetFWUpdateInfo = 0x16;
constexpr uint8_t kCmdSendBlockInfo = 0x14;
constexpr uint8_t kCmdReceiveFWData = 0x15;
constexpr uint32_t kChunkDataBytes = 49;
constexpr uint32_t kBlockUnit = 0x10000;
constexpr size_t kDatagramCapacity = 512;
constexpr int kEchoWaitSeconds = 5;

double microsecondsOn(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return double(now.tv_sec) * 1e6 + double(now.tv_nsec) * 1e-3;
}

double microsecondsNow() { return microsecondsOn(CLOCK_MONOTONIC); }
double cpuMicrosecondsNow() { return microsecondsOn(CLOCK_THREAD_CPUTIME_ID); }

// The session's datagrams, with the size of the last one each way kept for
// the bare loop to copy.
class MeasuredDatagrams final : public lan::Datagrams {
 public:
  explicit MeasuredDatagrams(lan::Datagrams& inner) : inner_(inner) {}
  bool send(const uint8_t* bytes, size_t length) override {
    lastSent = length;
    return inner_.send(bytes, length);
  }
  int receive(uint8_t* buffer, size_t capacity, uint64_t deadlineMicros) override {
    const int length = inner_.receive(buffer, capacity, deadlineMicros);
    if (length >= 0) lastReceived = size_t(length);
    return length;
  }
  uint64_t nowMicros() override { return inner_.nowMicros(); }

  size_t lastSent = 0;
  size_t lastReceived = 0;

 private:
  lan::Datagrams& inner_;
};

// The echo process: each datagram's first two bytes say how long the answer
// is; a one-byte datagram ends it.
[[noreturn]] void serveEchoes(int fd) {
  uint8_t buffer[kDatagramCapacity] = {};
  for (;;) {
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    const ssize_t length =
        recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (length == 1) _exit(0);
    if (length < 2) continue;
    const size_t answer = std::min<size_t>(size_t(buffer[0]) << 8 | buffer[1], sizeof buffer);
    sendto(fd, buffer, answer, 0, reinterpret_cast<sockaddr*>(&from), fromLength);
  }
}

// A socket connected to a freshly forked echo process on the loopback,
// on CPU cpu unless it is negative.
int startEcho(int cpu, pid_t* child) {
  const int server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (server < 0 || bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(server, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("echo socket");
    return -1;
  }
  *child = fork();
  if (*child == 0) {
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(cpu, &only);
    if (cpu >= 0 && sched_setaffinity(0, sizeof only, &only) != 0) _exit(1);
    serveEchoes(server);
  }
  close(server);
  const int client = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  timeval wait{kEchoWaitSeconds, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  if (*child < 0 || connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("echo");
    return -1;
  }
  return client;
}

// The echo process's CPU time in microseconds.
double stopEcho(int fd, pid_t child) {
  const uint8_t end = 0;
  send(fd, &end, 1, 0);
  rusage used{};
  wait4(child, nullptr, 0, &used);
  close(fd);
  return double(used.ru_utime.tv_sec + used.ru_stime.tv_sec) * 1e6 +
         double(used.ru_utime.tv_usec + used.ru_stime.tv_usec);
}

// One bare exchange: a datagram of requestLength out, one of replyLength back.
bool bareExchange(int fd, size_t requestLength, size_t replyLength) {
  uint8_t buffer[kDatagramCapacity] = {uint8_t(replyLength >> 8), uint8_t(replyLength)};
  if (send(fd, buffer, requestLength, 0) != ssize_t(requestLength)) return false;
  return recv(fd, buffer, sizeof buffer, 0) == ssize_t(replyLength);
}

int oemRequest(lan::Session& session, uint8_t command, const uint8_t* data, size_t length) {
  uint8_t response[64];
  int32_t responseLength = 0;
  return session.exchange(kNetFnLunOem, command, data, length, response, sizeof response,
                          &responseLength);
}

// A new update of one region of chunks * 49 + 1 bytes at offset 0.
bool startRegion(lan::Session& session, uint32_t chunks) {
  const uint32_t length = chunks * kChunkDataBytes + 1;
  const uint32_t blockLength = (length + kBlockUnit - 1) / kBlockUnit * kBlockUnit;
  uint8_t block[14] = {};
  for (int n = 0; n < 4; ++n) {
    block[4 + n] = uint8_t(blockLength >> (24 - 8 * n));
    block[8 + n] = uint8_t(length >> (24 - 8 * n));
  }
  block[13] = 1;  // index 0 of 1 region
  const uint8_t preserve[] = {1};
  return oemRequest(session, kCmdGetFWUpdateInfo, preserve, sizeof preserve) == 0 &&
         oemRequest(session, kCmdSendBlockInfo, block, sizeof block) == 0;
}

struct Figures {
  double median;
  double mean;
};

Figures summarise(std::vector<double>& times) {
  std::sort(times.begin(), times.end());
  if (times.empty()) return {0, 0};
  return {times[times.size() / 2],
          std::accumulate(times.begin(), times.end(), 0.0) / double(times.size())};
}

struct Settings {
  const char* port;
  const char* user;
  const char* password;
  uint8_t cipher;
  uint32_t chunks;
  int echoCpu;
};

bool parse(int argc, char** argv, Settings* settings) {
  if (argc < 4 || argc > 6) return false;
  settings->port = argv[1];
  settings->user = argv[2];
  settings->cipher = uint8_t(std::atoi(argv[3]));
  settings->chunks = argc >= 5 ? uint32_t(std::strtoul(argv[4], nullptr, 10)) : 20000;
  settings->echoCpu = argc == 6 ? std::atoi(argv[5]) : -1;
  settings->password = std::getenv("VELKORAN_PASSWORD");
  return settings->password != nullptr && (settings->cipher == 3 || settings->cipher == 17) &&
         settings->chunks > 0 && settings->chunks < 80000000 && settings->echoCpu < CPU_SETSIZE;
}

// Wall-clock times of each exchange, and this thread's CPU time in all.
struct Kind {
  std::vector<double> times;
  double cpu = 0;
};

// Chunks through the session and bare exchanges of the same sizes, in turn.
bool alternate(lan::Session& session, MeasuredDatagrams& measured, int echo, uint32_t chunks,
               Kind* lan, Kind* bare, size_t sizes[2]) {
  uint8_t chunk[1 + kChunkDataBytes] = {};
  for (uint32_t n = 1; n <= kChunkDataBytes; ++n) chunk[n] = uint8_t(n);
  for (uint32_t n = 0; n < chunks; ++n) {
    double cpu = cpuMicrosecondsNow(), start = microsecondsNow();
    if (oemRequest(session, kCmdReceiveFWData, chunk, sizeof chunk) != 0) return false;
    lan->times.push_back(microsecondsNow() - start);
    lan->cpu += cpuMicrosecondsNow() - cpu;
    sizes[0] = measured.lastSent, sizes[1] = measured.lastReceived;
    cpu = cpuMicrosecondsNow(), start = microsecondsNow();
    if (!bareExchange(echo, measured.lastSent, measured.lastReceived)) return false;
    bare->times.push_back(microsecondsNow() - start);
    bare->cpu += cpuMicrosecondsNow() - cpu;
  }
  const uint8_t last[] = {1, 0x55};
  return oemRequest(session, kCmdReceiveFWData, last, sizeof last) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings{};
  if (!parse(argc, argv, &settings)) {
    std::fprintf(stderr, "usage: VELKORAN_PASSWORD=... %s PORT USER 3|17 [CHUNKS [ECHO_CPU]]\n",
                 argv[0]);
    return 2;
  }
  // The echo process first, so that it holds no session keys.
  pid_t echoProcess = -1;
  const int echo = startEcho(settings.echoCpu, &echoProcess);
  if (echo < 0) return 1;
  linuxplatform::OpenSslCrypto crypto;
  linuxplatform::UdpDatagrams net;
  MeasuredDatagrams measured(net);
  lan::Session session(measured, crypto);
  if (net.connectTo("127.0.0.1", settings.port) != 0 ||
      session.open(settings.user, settings.password, settings.cipher) != lan::OpenResult::kOpened) {
    std::fprintf(stderr, "no session with the BMC at port %s\n", settings.port);
    stopEcho(echo, echoProcess);
    return 1;
  }
  Kind lan, bare;
  lan.times.reserve(settings.chunks);
  bare.times.reserve(settings.chunks);
  size_t sizes[2] = {};
  const bool ok = startRegion(session, settings.chunks) &&
                  alternate(session, measured, echo, settings.chunks, &lan, &bare, sizes);
  session.close();
  const double echoCpu = stopEcho(echo, echoProcess);
  const double count = double(lan.times.size() > 0 ? lan.times.size() : 1);
  const Figures overLan = summarise(lan.times), overUdp = summarise(bare.times);
  std::printf("LAN CHUNK BENCH %s cipher %u, %zu chunks, datagrams %zu out / %zu back: "
              "session median %.1f us mean %.1f us, bare UDP median %.1f us mean %.1f us, "
              "overhead median %+.1f %% mean %+.1f %%; client CPU per exchange: session "
              "%.1f us, bare %.1f us; echo process CPU per exchange %.1f us\n",
              ok ? "DONE" : "FAILED", settings.cipher, lan.times.size(), sizes[0], sizes[1],
              overLan.median, overLan.mean, overUdp.median, overUdp.mean,
              (overLan.median / overUdp.median - 1) * 100, (overLan.mean / overUdp.mean - 1) * 100,
              lan.cpu / count, bare.cpu / count, echoCpu / count);
  return ok ? 0 : 1;
}
