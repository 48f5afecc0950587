// feedtap: captures the gateway's level-2 feed and writes it as CSV text.
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "feedtap_config.h"
#include "net_ctrl.h"
#include "output.h"
#include "pcap_input.h"
#include "tool_messages.h"

using namespace HarboStoL2FpgaRcv;

namespace {

// Largest frame read in promiscuous mode: the largest IP packet and its
// Ethernet header. A full-sized Ethernet frame is 1514 bytes and loopback or
// jumbo frames are larger; a frame cut short is dropped as truncated.
constexpr size_t kPromiscFrameLen = 65536 + 14;
constexpr int kMainLoopSeconds = 10;
// Messages are written out by whoever printed them (or by the capture's
// flushes), not line by line.
constexpr size_t kMessageBufferBytes = 64 << 10;

void print_usage(FILE* out) {
  std::fprintf(out,
               "Usage: feedtap [--config PATH] [--pcap FILE]\n"
               "Captures the level-2 feed and writes every decoded message as CSV text,\n"
               "to ./data/YYYYMMDDhhmm_cffex.txt or to standard output.\n"
               "\n"
               "  --config PATH  configuration file (default ./config.ini)\n"
               "  --pcap FILE    read the datagrams from a capture file (pcap or pcapng, plain or\n"
               "                 zstd-compressed)\n"
               "                 instead of the network, filtered on MCADDR/MCPORT like\n"
               "                 promiscuous mode; ends at the end of the file\n"
               "  --help         this text\n"
               "\n"
               "Section [general] of the configuration:\n"
               "  MCADDR              multicast group; in promiscuous mode and for --pcap\n"
               "                      the destination address to filter on (empty: any)\n"
               "  MCPORT              UDP port of the group / destination port filtered on\n"
               "                      (0: any); required\n"
               "  LOCALIP             address of the local interface carrying the feed\n"
               "  CSVOUT              1: write under ./data/ (appending), 0: standard output\n"
               "                      (messages then go to standard error); required\n"
               "  PROMISC             1: capture the interface in promiscuous mode,\n"
               "                      0: join the multicast group; required\n"
               "  max_recv_buff_size  largest datagram read in multicast mode, in bytes\n"
               "                      (missing or 0: 65536)\n"
               "  MCSRCIP             optional: source address of a source-specific membership\n"
               "  CSVNEWLINE          optional: 1 puts each record on its own line\n"
               "\n"
               "Stops on SIGTERM (status 0) or SIGINT (status 130) after writing out\n"
               "everything captured and saying how much. Exit status 2: a usage error, or a\n"
               "configuration or capture file that is missing or wrong; 1: a capture that\n"
               "cannot be set up, or a capture file damaged part-way.\n");
}

// A progress message, written out at once.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
  FILE* out = feedtap::MessageStream();
  va_list args;
  va_start(args, format);
  std::vfprintf(out, format, args);
  va_end(args);
  std::fflush(out);
}

void close_output() {
  if (g_filePtr == nullptr) return;
  std::fflush(g_filePtr);
  if (g_filePtr != stdout) std::fclose(g_filePtr);
  g_filePtr = nullptr;
}

// The CSV stream as configured; standard output when the file cannot be made.
void open_output(const FeedtapConfig& cfg) {
  g_filePtr = stdout;
  if (cfg.csvOut == 0) return;
  FILE* file = nullptr;
  if (InitCsvOutFile(file, "_cffex.txt")) {
    g_filePtr = file;
    return;
  }
  std::fprintf(stderr, "Cffex Level2 Error :Failed to init csv file\n");
  // The CSV now shares standard output: what is said from here on must not.
  std::fflush(stdout);
  feedtap::MessageStream() = stderr;
}

Qen::TIpFilterInfo destination_filter(const FeedtapConfig& cfg) {
  Qen::TIpFilterInfo filter;
  if (!cfg.mcAddr.empty() || cfg.mcPort != 0) {
    filter.enable = true;
    filter.dstIp = cfg.mcAddr;
    filter.dstPort = cfg.mcPort;
  }
  return filter;
}

// Offline, the CSV output is opened with the first datagram: a file that
// turns out not to be a capture leaves no empty CSV file behind.
const FeedtapConfig* g_offlineConfig = nullptr;
bool g_offlineOutputOpen = false;

void open_offline_output() {
  if (g_offlineOutputOpen) return;
  g_offlineOutputOpen = true;
  open_output(*g_offlineConfig);
}

void offline_datagram(const unsigned char* data, size_t len) {
  open_offline_output();
  CallBack_RcvNewData(data, len);
}

int run_offline(const std::string& path, const FeedtapConfig& cfg) {
  g_offlineConfig = &cfg;
  Qen::TPcapSummary sum;
  std::string error;
  const Qen::PcapReadResult result =
      Qen::ReadPcapFile(path, destination_filter(cfg), offline_datagram, &sum, &error);
  if (result == Qen::PcapReadResult::CannotOpen) {
    std::fprintf(stderr, "feedtap: cannot read capture file %s: %s\n", path.c_str(), error.c_str());
    return kConfigErrorStatus;
  }
  open_offline_output();  // a capture without a matching datagram still gives its (empty) CSV
  CallBack_Flush();
  close_output();
  say("feedtap: %s: %llu packets read, %llu datagrams matched, %llu records written, %llu "
      "messages skipped\n",
      path.c_str(), sum.packets, sum.matched, g_recordsWritten, g_messagesSkipped);
  if (result == Qen::PcapReadResult::Damaged) {
    std::fprintf(stderr,
                 "feedtap: %s is damaged or cut short after %llu packets: %s (the records "
                 "before it were written)\n",
                 path.c_str(), sum.packets, error.c_str());
    return kCaptureErrorStatus;
  }
  return zavo::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::string configPath = "./config.ini";
  std::string pcapPath;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      print_usage(stdout);
      return 0;
    }
    if (arg == "--config" && i + 1 < argc) {
      configPath = argv[++i];
    } else if (arg == "--pcap" && i + 1 < argc) {
      pcapPath = argv[++i];
    } else {
      std::fprintf(stderr, "feedtap: unexpected argument '%s'\n", arg.c_str());
      print_usage(stderr);
      return zavo::kExitUsage;
    }
  }

  // Termination signals are taken synchronously by the main thread; every
  // thread started later inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  FeedtapConfig cfg;
  if (!LoadFeedtapConfig(configPath, &cfg)) return kConfigErrorStatus;
  g_recordNewline = cfg.recordNewline;
  // Nothing has been written to either stream yet, so both can still be
  // given their buffers.
  if (cfg.csvOut == 0) {
    std::setvbuf(stdout, nullptr, _IOFBF, kCsvBufferBytes);
    feedtap::MessageStream() = stderr;
    std::setvbuf(stderr, nullptr, _IOFBF, kMessageBufferBytes);
  } else {
    std::setvbuf(stdout, nullptr, _IOFBF, kMessageBufferBytes);
  }

  if (!pcapPath.empty()) return run_offline(pcapPath, cfg);

  Qen::TUdpRcvConfig rcv;
  rcv.groupIp = cfg.mcAddr;
  rcv.groupPort = cfg.mcPort;
  rcv.localIp = cfg.localIp;
  rcv.groupSrcIp = cfg.mcSrcIp;

  // The capture is set up before the output is opened: a capture that
  // cannot start leaves no empty file behind, and the socket already keeps
  // what arrives meanwhile.
  Qen::CUdpCtrl ctrl;
  ctrl.SetNewDataCallback(CallBack_RcvNewData);
  ctrl.SetFlushCallback(CallBack_Flush);
  if (cfg.promisc != 0) {
    rcv.promiscMode = true;
    if (!ctrl.SetNicPromiscuosMode(rcv.socket, rcv.localIp.c_str(), true)) {
      std::fprintf(stderr, "Failed to SetNicPromiscuosMode!\n");
      std::fprintf(stderr, "feedtap: cannot capture on the interface of LOCALIP %s; exiting\n",
                   rcv.localIp.c_str());
      return kCaptureErrorStatus;
    }
    open_output(cfg);
    ctrl.CreatePromiscRcvTask(rcv.socket, destination_filter(cfg), kPromiscFrameLen);
    say("SetNicPromiscuosMode() Success!\n");
  } else {
    if (!Qen::CUdpCtrl::SetMulticastReceive(rcv, true)) {
      std::fprintf(stderr, "feedtap: cannot receive group %s port %d on interface %s; exiting\n",
                   rcv.groupIp.c_str(), rcv.groupPort, rcv.localIp.c_str());
      return kCaptureErrorStatus;
    }
    say("max_recv_buff_size: %ld bytes%s\n", cfg.maxRecvBuffSize,
        cfg.maxRecvBuffSizeDefaulted ? " (default)" : "");
    open_output(cfg);
    ctrl.CreateMulticastRcvTask(rcv.socket, static_cast<size_t>(cfg.maxRecvBuffSize));
  }

  int sig = 0;
  while (sig <= 0) {
    say("Main thread loop\n");
    struct timespec wait = {kMainLoopSeconds, 0};
    sig = sigtimedwait(&stopSignals, nullptr, &wait);
  }
  say("Stopping on signal %d\n", sig);
  ctrl.Stop();
  close_output();
  // The receive thread has ended: its counters are final.
  say("feedtap: %llu datagrams received, %llu records written, %llu messages skipped\n",
      g_datagramsReceived, g_recordsWritten, g_messagesSkipped);
  say("feedtap stopped\n");
  return sig == SIGINT ? zavo::kExitInterrupted : zavo::kExitOk;
}
