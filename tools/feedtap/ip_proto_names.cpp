// Names of IP protocol numbers, for summaries of captured frames.
#include "net_ctrl.h"

namespace Qen {

namespace {

// Lower-case keywords of the assigned internet protocol numbers; null where
// a number has no keyword.
const char* const netdb_protocol_names[143] = {"hopopt",
                                               "icmp",
                                               "igmp",
                                               "ggp",
                                               "ipv4",
                                               "st",
                                               "tcp",
                                               "cbt",
                                               "egp",
                                               "igp",  // 0
                                               "bbn-rcc-mon",
                                               "nvp-ii",
                                               "pup",
                                               "argus",
                                               "emcon",
                                               "xnet",
                                               "chaos",
                                               "udp",
                                               "mux",  // 10
                                               "dcn-meas",
                                               "hmp",
                                               "prm",
                                               "xns-idp",
                                               "trunk-1",
                                               "trunk-2",
                                               "leaf-1",
                                               "leaf-2",  // 19
                                               "rdp",
                                               "irtp",
                                               "iso-tp4",
                                               "netblt",
                                               "mfe-nsp",
                                               "merit-inp",
                                               "dccp",
                                               "3pc",
                                               "idpr",  // 27
                                               "xtp",
                                               "ddp",
                                               "idpr-cmtp",
                                               "tp++",
                                               "il",
                                               "ipv6",
                                               "sdrp",
                                               "ipv6-route",
                                               "ipv6-frag",  // 36
                                               "idrp",
                                               "rsvp",
                                               "gre",
                                               "dsr",
                                               "bna",
                                               "esp",
                                               "ah",
                                               "i-nlsp",
                                               "swipe",
                                               "narp",  // 45
                                               "mobile",
                                               "tlsp",
                                               "skip",
                                               "ipv6-icmp",
                                               "ipv6-nonxt",
                                               "ipv6-opts",
                                               nullptr,
                                               "cftp",  // 55
                                               nullptr,
                                               "sat-expak",
                                               "kryptolan",
                                               "rvd",
                                               "ippc",
                                               nullptr,
                                               "sat-mon",
                                               "visa",  // 63
                                               "ipcv",
                                               "cpnx",
                                               "cphb",
                                               "wsn",
                                               "pvp",
                                               "br-sat-mon",
                                               "sun-nd",
                                               "wb-mon",
                                               "wb-expak",  // 71
                                               "iso-ip",
                                               "vmtp",
                                               "secure-vmtp",
                                               "vines",
                                               "ttp",
                                               "nsfnet-igp",
                                               "dgp",
                                               "tcf",  // 80
                                               "eigrp",
                                               "ospf",
                                               "sprite-rpc",
                                               "larp",
                                               "mtp",
                                               "ax.25",
                                               "ipip",
                                               "micp",
                                               "scc-sp",  // 88
                                               "etherip",
                                               "encap",
                                               nullptr,
                                               "gmtp",
                                               "ifmp",
                                               "pnni",
                                               "pim",
                                               "aris",
                                               "scps",
                                               "qnx",  // 97
                                               "a/n",
                                               "ipcomp",
                                               "snp",
                                               "compaq-peer",
                                               "ipx-in-ip",
                                               "vrrp",
                                               "pgm",
                                               nullptr,
                                               "l2tp",  // 107
                                               "ddx",
                                               "iatp",
                                               "stp",
                                               "srp",
                                               "uti",
                                               "smp",
                                               "sm",
                                               "ptp",
                                               "isis",
                                               "fire",
                                               "crtp",  // 116
                                               "crudp",
                                               "sscopmce",
                                               "iplt",
                                               "sps",
                                               "pipe",
                                               "sctp",
                                               "fc",
                                               "rsvp-e2e-ignore",  // 127
                                               "mobility-header",
                                               "udplite",
                                               "mpls-in-ip",
                                               "manet",
                                               "hip",
                                               "shim6",
                                               "wesp",   // 135
                                               "rohc"};  // 142

}  // namespace

const char* netdb_protoname(uint8_t proto) {
  if (proto < sizeof(netdb_protocol_names) / sizeof(netdb_protocol_names[0])) {
    return netdb_protocol_names[proto];
  }
  switch (proto) {
    case 253:
      return "exptest-253";
    case 254:
      return "exptest-254";
    case 255:
      return "reserved";
    default:  // 143 to 252 have no keyword
      return nullptr;
  }
}

const TIpProtoValue ipproto_values[] = {{0, "Options"},
                                        {1, "ICMP"},
                                        {2, "IGMP"},
                                        {4, "IPIP"},
                                        {6, "TCP"},
                                        {8, "EGP"},
                                        {9, "IGRP"},
                                        {17, "UDP"},
                                        {33, "DCCP"},
                                        {41, "IPv6"},
                                        {43, "Routing"},
                                        {44, "Fragment"},
                                        {46, "RSVP"},
                                        {47, "GRE"},
                                        {50, "ESP"},
                                        {51, "AH"},
                                        {55, "Mobile IP"},
                                        {58, "ICMPv6"},
                                        {62, "Mobile IP (old)"},
                                        {88, "EIGRP"},
                                        {89, "OSPF"},
                                        {103, "PIM"},
                                        {108, "Compressed IP"},
                                        {112, "VRRP"},
                                        {113, "PGM"},
                                        {132, "SCTP"},
                                        {135, "Mobility"},
                                        {143, "Ethernet"},
                                        {0, nullptr}};

}  // namespace Qen
