// feedtap: captures the gateway's level-2 feed and writes it as CSV text.
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "feedtap_config.h"
#include "net_ctrl.h"
#include "output.h"

using namespace HarboStoL2FpgaRcv;

namespace {

constexpr size_t kPromiscFrameLen = 1500;
constexpr int kMainLoopSeconds = 10;

void print_usage(FILE* out) {
  std::fprintf(out,
               "Usage: feedtap [--config PATH]\n"
               "Captures the level-2 feed and writes every decoded message as CSV text,\n"
               "to ./data/YYYYMMDDhhmm_cffex.txt or to standard output.\n"
               "\n"
               "  --config PATH  configuration file (default ./config.ini)\n"
               "  --help         this text\n"
               "\n"
               "Section [general] of the configuration:\n"
               "  MCADDR              multicast group; in promiscuous mode the destination\n"
               "                      address to filter on (empty: any)\n"
               "  MCPORT              UDP port of the group / destination port filtered on\n"
               "                      (0: any); required\n"
               "  LOCALIP             address of the local interface carrying the feed\n"
               "  CSVOUT              1: write under ./data/, 0: standard output; required\n"
               "  PROMISC             1: capture the interface in promiscuous mode,\n"
               "                      0: join the multicast group; required\n"
               "  max_recv_buff_size  largest datagram read in multicast mode, in bytes\n"
               "  MCSRCIP             optional: source address of a source-specific membership\n"
               "  CSVNEWLINE          optional: 1 puts each record on its own line\n"
               "\n"
               "Stops on SIGTERM or SIGINT after writing out everything captured.\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string configPath = "./config.ini";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      print_usage(stdout);
      return 0;
    }
    if (arg == "--config" && i + 1 < argc) {
      configPath = argv[++i];
    } else {
      std::fprintf(stderr, "feedtap: unexpected argument '%s'\n", arg.c_str());
      print_usage(stderr);
      return 2;
    }
  }
  // Progress lines are read by operators and scripts while the tool runs.
  setvbuf(stdout, nullptr, _IOLBF, 0);

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

  g_filePtr = stdout;
  if (cfg.csvOut != 0) {
    FILE* file = nullptr;
    if (InitCsvOutFile(file, "_cffex.txt")) {
      g_filePtr = file;
    } else {
      std::printf("Cffex Level2 Error :Failed to init csv file\n");
    }
  }

  Qen::TUdpRcvConfig rcv;
  rcv.groupIp = cfg.mcAddr;
  rcv.groupPort = cfg.mcPort;
  rcv.localIp = cfg.localIp;
  rcv.groupSrcIp = cfg.mcSrcIp;

  Qen::CUdpCtrl ctrl;
  ctrl.SetNewDataCallback(CallBack_RcvNewData);
  if (cfg.promisc != 0) {
    rcv.promiscMode = true;
    const bool ok = ctrl.SetNicPromiscuosMode(rcv.socket, rcv.localIp.c_str(), true);
    Qen::TIpFilterInfo filter;
    if (!cfg.mcAddr.empty() || cfg.mcPort != 0) {
      filter.enable = true;
      filter.dstIp = cfg.mcAddr;
      filter.dstPort = cfg.mcPort;
    }
    ctrl.CreatePromiscRcvTask(rcv.socket, filter, kPromiscFrameLen);
    std::printf(ok ? "SetNicPromiscuosMode() Success!\n" : "Failed to SetNicPromiscuosMode!\n");
  } else {
    Qen::CUdpCtrl::SetMulticastReceive(rcv, true);
    ctrl.CreateMulticastRcvTask(rcv.socket, static_cast<size_t>(cfg.maxRecvBuffSize));
  }

  int sig = 0;
  while (sig <= 0) {
    std::printf("Main thread loop\n");
    struct timespec wait = {kMainLoopSeconds, 0};
    sig = sigtimedwait(&stopSignals, nullptr, &wait);
  }
  std::printf("Stopping on signal %d\n", sig);
  ctrl.Stop();
  std::fflush(g_filePtr);
  if (g_filePtr != stdout) std::fclose(g_filePtr);
  g_filePtr = nullptr;
  std::printf("feedtap stopped\n");
  return 0;
}
